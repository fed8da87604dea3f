# comflash_windows_manifest(TARGET): embeds the application manifest
# (cmake/windows/comflash.manifest) into a Windows program as its resource.
if(WIN32)
  enable_language(RC)
  set(COMFLASH_MANIFEST ${CMAKE_CURRENT_LIST_DIR}/windows/comflash.manifest)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/windows/manifest.rc.in
                 ${CMAKE_BINARY_DIR}/comflash-manifest.rc @ONLY)
endif()

function(comflash_windows_manifest target)
  if(WIN32)
    target_sources(${target} PRIVATE ${CMAKE_BINARY_DIR}/comflash-manifest.rc)
    # windres does not see the manifest as a dependency of the resource.
    set_property(SOURCE ${CMAKE_BINARY_DIR}/comflash-manifest.rc TARGET_DIRECTORY ${target}
                 APPEND PROPERTY OBJECT_DEPENDS ${COMFLASH_MANIFEST})
  endif()
endfunction()
