# Installing, and the packages: a Debian package on Linux (cpack -G DEB), a
# zip on Windows (cpack -G ZIP). One version, the project's, everywhere.
include(GNUInstallDirs)
set(CPACK_PACKAGE_NAME talvik)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the talvik authors")
set(CPACK_PACKAGE_CONTACT "talvik maintainers <maintainers@talvik.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "frequency sweeps of a DDS generator and a level converter")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  install(TARGETS talvik talvik-plot talvik-tune talvik-probe talvik-cal RUNTIME DESTINATION .)
  # The README, the guide's pages (the wiring tables among them) and the
  # licence as text files with Windows line ends: NAME.md as NAME.txt,
  # LICENSE as LICENSE.txt.
  file(GLOB guide RELATIVE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/docs/*.md)
  foreach(from README.md LICENSE ${guide})
    string(REGEX REPLACE "\\.md$" "" stem ${from})
    set(to ${stem}.txt)
    file(READ ${PROJECT_SOURCE_DIR}/${from} text)
    string(REPLACE "\n" "\r\n" text "${text}")
    file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/${to} "${text}")
    get_filename_component(folder ${to} DIRECTORY)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${to} DESTINATION ./${folder})
  endforeach()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME talvik-${PROJECT_VERSION}-win32)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  install(TARGETS talvik talvik-plot talvik-tune talvik-probe talvik-cal
          RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # Manual pages carry the version, gzipped as Debian wants them.
  set(pages)
  foreach(page talvik talvik-plot talvik-tune talvik-probe talvik-cal)
    configure_file(${PROJECT_SOURCE_DIR}/man/${page}.1.in ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.1 @ONLY)
    add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.1.gz
                       COMMAND gzip -9n -c ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.1 >
                               ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.1.gz
                       DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.1)
    list(APPEND pages ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.1.gz)
  endforeach()
  configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.Debian.in
                 ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian @ONLY)
  add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian.gz
                     COMMAND gzip -9n -c ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian >
                             ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian.gz
                     DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian)
  add_custom_target(talvik_documents ALL DEPENDS ${pages} ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian.gz)
  install(FILES ${pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  # Where udev reads packages' rules (under the prefix: /usr/lib/udev/rules.d).
  install(FILES udev/60-talvik-ftdi.rules DESTINATION lib/udev/rules.d)
  # The GPIO lines' rule is only an example: Raspberry Pi OS gives its gpio
  # group the header's lines already, and a rule for every chip is wider than
  # talvik needs.
  install(FILES udev/60-talvik-gpio.rules DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
  install(FILES README.md docs/default-sweep.png ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # The guide, where the README's links find it.
  file(GLOB guide ${PROJECT_SOURCE_DIR}/docs/*.md ${PROJECT_SOURCE_DIR}/docs/*.png)
  install(FILES ${guide} DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS gnuplot-nox)
  set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://talvik.invalid/")
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "talvik steps a direct-digital-synthesis signal generator across a band and,
at each frequency, reads a level back through a serial converter and records
it in dBm. It reaches the instrument through a PC parallel port, an FTDI USB
adapter, a board's GPIO lines, or a simulated instrument built in.
talvik-plot prints filter markers and draws plots, talvik-tune sweeps again
and again with a live view for tuning filters, and talvik-probe brings a new
instrument up check by check.")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/postinst
      ${PROJECT_SOURCE_DIR}/packaging/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()
include(CPack)
