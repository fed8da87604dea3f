# comflash_split_debug_info(TARGET): moves a Windows program's debug sections
# into TARGET.exe.debug beside it (found by gdb through the debug link). Left
# in the program they make it 19 MB, and each start under Wine reads past
# them: some 10 ms more for every upload.
function(comflash_split_debug_info target)
  if(WIN32 AND CMAKE_OBJCOPY)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE:${target}>
              $<TARGET_FILE:${target}>.debug
      COMMAND ${CMAKE_OBJCOPY} --strip-debug
              --add-gnu-debuglink=$<TARGET_FILE:${target}>.debug $<TARGET_FILE:${target}>
      VERBATIM)
  endif()
endfunction()
