# What an operator installs: a Debian package on Linux, a zip on Windows.
# Built by `./run package` with CPack; the version is the project's.

# The window: comflash-gui on Linux, comflash.exe on Windows.
if(TARGET comflash-gui)
  if(WIN32)
    install(TARGETS comflash-gui RUNTIME DESTINATION .)
  else()
    install(TARGETS comflash-gui RUNTIME DESTINATION bin)
  endif()
endif()

set(CPACK_PACKAGE_NAME comflash)
set(CPACK_PACKAGE_VENDOR "comflash")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Writes an Intel HEX firmware image into a device through its serial bootloader")
set(CPACK_PACKAGE_CONTACT "comflash maintainers <comflash@localhost>")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  # Everything at the top of the zip: the programs and the README as text.
  foreach(tool comflash-cli)
    if(TARGET ${tool})
      install(TARGETS ${tool} RUNTIME DESTINATION .)
    endif()
  endforeach()
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION . RENAME README.txt)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  set(CPACK_PACKAGE_FILE_NAME "comflash-${PROJECT_VERSION}-win64")
else()
  foreach(tool comflash-cli comflash-sim)
    if(TARGET ${tool})
      install(TARGETS ${tool} RUNTIME DESTINATION bin)
    endif()
  endforeach()
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/packaging/README.Debian
          DESTINATION share/doc/comflash)
  if(TARGET comflash-gui)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/comflash.desktop
            DESTINATION share/applications)
  endif()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  # dpkg-shlibdeps names the Qt runtime packages the window links.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "The window (comflash-gui) and the command-line flasher (comflash-cli) share one\n\
upload core; comflash-sim is a simulated bootloader on a pseudo-terminal.\n\
Serial ports belong to the dialout group: join it (sudo usermod -aG dialout\n\
$USER) and log in again to use them.")
endif()

include(CPack)
