# The test programs of the Windows build. They run under Wine (./run test
# --windows, tests/wine/run.sh) or on Windows itself; the runner
# starts them, so they are not discovered through CTest, which would need
# Wine at build time.

# GoogleTest built from Debian's sources with the cross compiler.
set(COMFLASH_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for the cross build")
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
add_subdirectory(${COMFLASH_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
foreach(lib gtest gmock)
  target_compile_options(${lib} PRIVATE -w)  # not our code
  if(NOT TARGET GTest::${lib})  # newer GoogleTest sources define them
    add_library(GTest::${lib} ALIAS ${lib})
  endif()
endforeach()

# The helpers that need no POSIX calls: the recording fake device and headers.
add_library(comflash_test_support STATIC ${CMAKE_CURRENT_SOURCE_DIR}/support/FakeSerialApi.cpp)
target_link_libraries(comflash_test_support PUBLIC comflash_core GTest::gtest GTest::gmock)

set(COMFLASH_WINDOWS_TEST_PROGRAMS "" CACHE INTERNAL "")
function(comflash_windows_test_program name)
  add_executable(${name} ${ARGN} ${CMAKE_CURRENT_SOURCE_DIR}/support/test_main.cpp)
  target_link_libraries(${name} PRIVATE comflash_test_support)
  target_compile_definitions(${name} PRIVATE COMFLASH_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  set(COMFLASH_WINDOWS_TEST_PROGRAMS ${COMFLASH_WINDOWS_TEST_PROGRAMS} ${name} CACHE INTERNAL "")
endfunction()

comflash_tests(framework_sources framework EXCEPT "^framework/forms/" "/(posix|win32)/")
comflash_windows_test_program(framework_tests ${framework_sources})

# The port on the scripted fake device and the kernel events under its
# threads; the pseudo-terminal tests (posix/) are Linux only, the kernel32
# back end's (win32/) are in win32_tests.
comflash_tests(serial_sources serial EXCEPT "/(posix|win32)/")
comflash_windows_test_program(serial_tests ${serial_sources})

file(GLOB core_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/app/core/*_test.cpp)
comflash_windows_test_program(core_tests ${core_sources})

# The Windows layers below the window (every win32/ folder but the
# controls'): the platform halves, the kernel32 back end on real COM ports,
# comflash-cli's console events; and the programs' manifest (cmake/windows/).
foreach(dir framework serial tools)
  comflash_tests(win32_sources ${dir} ONLY "/win32/" EXCEPT "^framework/forms/")
endforeach()
comflash_tests(win32_sources cmake/windows)
comflash_windows_test_program(win32_tests ${win32_sources})

# The window on Win32 controls: the window tests it shares with the Qt build
# (tests/app/), its own (app/win32/: the dpi, real COM ports) and the Win32
# controls' (framework/forms/win32/). They need a display (Xvfb under Wine).
if(TARGET comflash_gui)
  comflash_tests(window_sources app EXCEPT "^app/core/" "/(posix|qt)/")
  comflash_tests(window_sources framework/forms EXCEPT "/(posix|qt)/")
  add_executable(window_tests ${window_sources} ${CMAKE_CURRENT_SOURCE_DIR}/app/win32/main.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/app/win32/Operator.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/app/win32/WindowDevices.cpp)
  target_link_libraries(window_tests PRIVATE comflash_gui comflash_test_support)
  # As comflash.exe: the same common controls and DPI awareness.
  comflash_windows_manifest(window_tests)
  set(COMFLASH_WINDOWS_TEST_PROGRAMS ${COMFLASH_WINDOWS_TEST_PROGRAMS} window_tests
      CACHE INTERNAL "")
endif()

add_custom_target(windows_tests DEPENDS ${COMFLASH_WINDOWS_TEST_PROGRAMS})

# comflash-cli's Windows layer (console events, the port listing) in-process.
target_sources(win32_tests PRIVATE ${PROJECT_SOURCE_DIR}/tools/cli/win32/Platform.cpp
                                   ${PROJECT_SOURCE_DIR}/tools/cli/win32/PortList.cpp)
