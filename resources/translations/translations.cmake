# Compiles the launcher's translation into launcher.en.qm beside the executable, where
# the translation manager loads it at start-up. The messages are looked up by id
# (qtTrId), hence -idbased.
set(TORVANE_TRANSLATION_SOURCES ${CMAKE_CURRENT_LIST_DIR}/launcher.en.ts)
set_source_files_properties(${TORVANE_TRANSLATION_SOURCES} PROPERTIES OUTPUT_LOCATION ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
qt5_add_translation(TORVANE_TRANSLATION_FILES ${TORVANE_TRANSLATION_SOURCES} OPTIONS -idbased -silent)
add_custom_target(torvane_translations ALL DEPENDS ${TORVANE_TRANSLATION_FILES})
# installed into PREFIX/share/torvane-launcher, where a launcher in PREFIX/bin looks second
install(FILES ${TORVANE_TRANSLATION_FILES} DESTINATION share/torvane-launcher)
