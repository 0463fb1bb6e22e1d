# Desktop integration of the installed launcher: a menu entry and its icon.
#   cmake --install build --prefix PREFIX
# puts the launcher into PREFIX/bin and its translation into PREFIX/share/torvane-launcher,
#   PREFIX/share/applications/torvane-launcher.desktop
#   PREFIX/share/icons/hicolor/256x256/apps/torvane-launcher.png
# The entry starts the launcher by its absolute path, so a prefix that is not on PATH
# (~/.local, /opt/...) works too. That path is only known when installing (--prefix
# overrides the configured one), so the entry is written then; DESTDIR is honoured.

set(TORVANE_DESKTOP_DIR ${CMAKE_CURRENT_LIST_DIR})
set(TORVANE_DESKTOP_ENTRY ${CMAKE_BINARY_DIR}/desktop/torvane-launcher.desktop)

install(CODE "
  set(TORVANE_DESKTOP_TEMPLATE \"${TORVANE_DESKTOP_DIR}/torvane-launcher.desktop.in\")
  set(TORVANE_DESKTOP_ENTRY \"${TORVANE_DESKTOP_ENTRY}\")
  include(\"${TORVANE_DESKTOP_DIR}/write-entry.cmake\")
")
install(FILES ${TORVANE_DESKTOP_ENTRY} DESTINATION share/applications)
# drawn by tools/artgen (LauncherIcon.png); desktops look icons up by the entry's Icon= name
install(FILES ${CMAKE_SOURCE_DIR}/resources/images/launcher/LauncherIcon.png
        DESTINATION share/icons/hicolor/256x256/apps RENAME torvane-launcher.png)

if(TORVANE_BUILD_TESTS)
  # Installs the built tree into temporary prefixes and checks what a desktop gets.
  add_test(NAME desktop_install
           COMMAND sh ${TORVANE_DESKTOP_DIR}/test-install.sh ${CMAKE_COMMAND} ${CMAKE_BINARY_DIR})
  set_tests_properties(desktop_install PROPERTIES LABELS "install" TIMEOUT 120)
endif()
