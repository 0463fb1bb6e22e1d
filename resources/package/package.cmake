# The Debian package: "cpack -G DEB" in the build folder (scripts/package does it all).
# One package, torvane-launcher, holds the launcher and torvane-pack: the packaging tool is
# one more binary on the same libraries, and the people who publish packages also run the
# launcher to try them. Dependencies are computed from the binaries (dpkg-shlibdeps).

set(TORVANE_PACKAGE_DIR ${CMAKE_CURRENT_LIST_DIR})

install(FILES ${TORVANE_PACKAGE_DIR}/torvane-launcher.metainfo.xml DESTINATION share/metainfo)
install(FILES ${TORVANE_PACKAGE_DIR}/copyright DESTINATION share/doc/torvane-launcher)
# Debian wants the changelog (of a package without a Debian revision: changelog.gz) and the
# manual pages compressed, without a time stamp in the gzip header
set(TORVANE_COMPRESSED)
foreach(SOURCE changelog torvane-launcher.1 torvane-pack.1)
  set(OUTPUT ${CMAKE_BINARY_DIR}/package/${SOURCE}.gz)
  add_custom_command(OUTPUT ${OUTPUT}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/package
                     COMMAND gzip -9nc ${TORVANE_PACKAGE_DIR}/${SOURCE} > ${OUTPUT}
                     DEPENDS ${TORVANE_PACKAGE_DIR}/${SOURCE})
  list(APPEND TORVANE_COMPRESSED ${OUTPUT})
endforeach()
add_custom_target(torvane_package_docs ALL DEPENDS ${TORVANE_COMPRESSED})
install(FILES ${CMAKE_BINARY_DIR}/package/changelog.gz DESTINATION share/doc/torvane-launcher)
install(FILES ${CMAKE_BINARY_DIR}/package/torvane-launcher.1.gz ${CMAKE_BINARY_DIR}/package/torvane-pack.1.gz
        DESTINATION share/man/man1)

# cpack installs what scripts/package built; it does not build every test first
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY TRUE)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME torvane-launcher)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Halvern GmbH")
set(CPACK_PACKAGE_CONTACT "Halvern GmbH <packages@halvern.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "launcher and patcher of the game Torvane Online")
set(CPACK_PACKAGE_DESCRIPTION "Installs the clients of the online game Torvane Online, keeps them up to\n\
date by downloading only the parts that changed, checks what it wrote and\n\
starts the chosen client. Also holds torvane-pack, the tool that publishes\n\
game packages for the launcher.")
# installed with DESTDIR into the stage and prefix /usr, so that the desktop entry written
# at install time names /usr/bin/torvane-launcher
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# not "games": Debian keeps that section for packages with programs in /usr/games
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://halvern.example/")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
