# Reusable widgets: the text browser with remote resources, the clickable label and the
# pieces of the hints area. Included from this directory's CMakeLists.txt.
add_library(torvane_sharedwidgets STATIC
  ${CMAKE_CURRENT_LIST_DIR}/ClickableLabel.cpp ${CMAKE_CURRENT_LIST_DIR}/ClickableLabel.h
  ${CMAKE_CURRENT_LIST_DIR}/HintWidgets.cpp ${CMAKE_CURRENT_LIST_DIR}/HintWidgets.h
  ${CMAKE_CURRENT_LIST_DIR}/QTextBrowserWithNetwork.cpp ${CMAKE_CURRENT_LIST_DIR}/QTextBrowserWithNetwork.h
)
target_include_directories(torvane_sharedwidgets PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_compile_options(torvane_sharedwidgets PRIVATE ${TORVANE_WARNINGS})
target_link_libraries(torvane_sharedwidgets PUBLIC torvane_shared Qt5::Widgets)
