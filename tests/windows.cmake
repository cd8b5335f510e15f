# The test suite of the Windows build (MinGW-w64), run by CTest through the
# cross-compiling emulator (Wine). GoogleTest is built from source with the
# same compiler (Debian's googletest source package, /usr/src/googletest).
#
# Programs left out here, and why:
#   test_console, test_serial, test_fault_injection: drive the POSIX terminal
#     and serial layers through pseudo-terminals (openpty, termios, fork); the
#     Windows layers have their own tests (test_windows_layers);
#   test_diagnostics: runs the library in forked children (fork, pipes);
#   test_exports: reads the ELF dynamic symbol table (nm -D); the DLL's
#     exports are checked by test_msvc_names;
#   test_solvers, test_eigen, test_eigen_types: compare with LAPACKE, which
#     has no MinGW build on Debian; the solvers' and eigen-solvers' bits are
#     compared with the Linux build through the kernel tests' result digest.
set(LINALG_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources for the Windows test build")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
add_subdirectory(${LINALG_GTEST_SOURCE_DIR} ${CMAKE_CURRENT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
include(GoogleTest)

set(_la_not_on_windows test_console test_serial test_fault_injection test_diagnostics test_exports
    test_solvers test_eigen test_eigen_types)

file(GLOB SUPPORT_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/support/*.cpp)
add_library(linalg_test_support STATIC ${SUPPORT_SOURCES})
target_include_directories(linalg_test_support PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(linalg_test_support PUBLIC linalg_static gtest)

file(GLOB TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/test_*.cpp
     ${CMAKE_CURRENT_SOURCE_DIR}/windows/test_*.cpp)
foreach(src ${TEST_SOURCES})
  get_filename_component(name ${src} NAME_WE)
  if(name IN_LIST _la_not_on_windows)
    continue()
  endif()
  add_executable(${name} ${src})
  if(name STREQUAL "test_msvc_names")
    # Calls the DLL both by its GCC names (through the import library and
    # the header's dllimport declarations) and by its MSVC names.
    target_link_libraries(${name} PRIVATE linalg gtest_main)
    target_include_directories(${name} PRIVATE ${PROJECT_BINARY_DIR})
    add_custom_command(TARGET ${name} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:linalg> $<TARGET_FILE_DIR:${name}>)
  else()
    target_link_libraries(${name} PRIVATE linalg_test_support gtest_main)
  endif()
  target_compile_definitions(${name} PRIVATE
    LINALG_SHARED_LIB="$<TARGET_FILE_NAME:linalg>"
    LINALG_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  add_dependencies(${name} linalg)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
    PROPERTIES TIMEOUT 600 ENVIRONMENT "WINEDEBUG=-all")
endforeach()

# The Windows layers that need a console or a COM port: the console tests on
# a pseudo-terminal (Wine gives a program a console only on a terminal), the
# serial tests with COM3 mapped to a pseudo-terminal.
if(TARGET test_windows_layers AND CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(LINALG_SCRIPT script)
  if(LINALG_SCRIPT)
    add_test(NAME windows_console_on_a_terminal
      COMMAND ${LINALG_SCRIPT} -qec "${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:test_windows_layers> --gtest_filter=Console.*" /dev/null)
    set_tests_properties(windows_console_on_a_terminal PROPERTIES
      ENVIRONMENT "WINEDEBUG=-all" TIMEOUT 120 FAIL_REGULAR_EXPRESSION "SKIPPED|FAILED")
  endif()
  add_test(NAME windows_serial_on_a_pty
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/windows/serial_pty.py
            ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:test_windows_layers>)
  set_tests_properties(windows_serial_on_a_pty PROPERTIES TIMEOUT 120 RUN_SERIAL TRUE)
endif()

# No fused multiply-add in the DLL (the host's MinGW objdump reads it).
find_program(LINALG_MINGW_OBJDUMP x86_64-w64-mingw32-objdump)
if(LINALG_MINGW_OBJDUMP)
  add_test(NAME dll_contains_no_fused_multiply_add
    COMMAND sh -c "! ${LINALG_MINGW_OBJDUMP} -d --no-show-raw-insn $<TARGET_FILE:linalg> | grep -E 'vfn?m(add|sub)'")
endif()

# The Microsoft import library imports every MSVC name of the DLL.
if(LINALG_LLVM_NM)
  add_test(NAME msvc_import_library_lists_every_msvc_name
    COMMAND sh -c "test $(${LINALG_LLVM_NM} ${PROJECT_BINARY_DIR}/linalg.lib | grep -c ' T __imp_?') -eq $(wc -l < ${LINALG_MSVC_NAMES})")
endif()

# A Visual C++-ABI program (clang in MSVC mode, lld-link, linalg.lib) and the
# same source as a MinGW program print the same bits under Wine; both take
# the address of every member of the headers (so every MSVC name must link)
# and end with the Diagnostics results: Singular (1) after a singular solve,
# the 23 bytes of its message through the handler, 's' of "singular", Io (8)
# after Report, Version and InstructionSet non-empty (3), every member linked.
find_program(LINALG_LLD_LINK lld-link)
find_library(LINALG_MINGW_KERNEL32 kernel32)
if(LINALG_LLD_LINK AND LINALG_MINGW_KERNEL32 AND CMAKE_CROSSCOMPILING_EMULATOR)
  set(_caller ${CMAKE_CURRENT_SOURCE_DIR}/windows/abi_caller.cpp)
  set(_msvc_exe ${CMAKE_CURRENT_BINARY_DIR}/abi_caller_msvc.exe)
  add_custom_command(OUTPUT ${_msvc_exe}
    COMMAND ${LINALG_CLANGXX} --target=x86_64-pc-windows-msvc -O2 -fno-exceptions -nostdinc
            -isystem ${CMAKE_CURRENT_SOURCE_DIR}/windows/msvc_include
            -I${PROJECT_SOURCE_DIR}/include -I${PROJECT_BINARY_DIR}/include -I${PROJECT_BINARY_DIR}
            -c ${_caller} -o ${CMAKE_CURRENT_BINARY_DIR}/abi_caller_msvc.obj
    COMMAND ${LINALG_LLD_LINK} /nologo /entry:start /subsystem:console /nodefaultlib /out:${_msvc_exe}
            ${CMAKE_CURRENT_BINARY_DIR}/abi_caller_msvc.obj ${PROJECT_BINARY_DIR}/linalg.lib ${LINALG_MINGW_KERNEL32}
    DEPENDS ${_caller} ${PROJECT_SOURCE_DIR}/include/linalg.h ${PROJECT_SOURCE_DIR}/include/linalg_diag.h
            ${PROJECT_BINARY_DIR}/msvc_members.inc linalg
    VERBATIM)
  add_custom_target(abi_caller_msvc ALL DEPENDS ${_msvc_exe})
  add_executable(abi_caller_gnu ${_caller})
  target_link_libraries(abi_caller_gnu PRIVATE linalg)
  target_include_directories(abi_caller_gnu PRIVATE ${PROJECT_BINARY_DIR})
  target_link_options(abi_caller_gnu PRIVATE -nostartfiles -Wl,-e,start)
  add_custom_command(TARGET abi_caller_gnu POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:linalg> $<TARGET_FILE_DIR:abi_caller_gnu>)
  add_test(NAME msvc_program_gets_the_bits_of_a_mingw_program
    COMMAND sh -c "${CMAKE_CROSSCOMPILING_EMULATOR} ${_msvc_exe} > abi_msvc.out && ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:abi_caller_gnu> > abi_gnu.out && test $(wc -l < abi_msvc.out) -eq 114 && cmp abi_msvc.out abi_gnu.out && test \"$(tail -n 6 abi_msvc.out | tr -d '\\r' | tr '\\n' ' ')\" = \"$(printf '%016x ' 1 23 115 8 3 $(wc -l < ${PROJECT_BINARY_DIR}/msvc_members.inc))\""
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  set_tests_properties(msvc_program_gets_the_bits_of_a_mingw_program PROPERTIES ENVIRONMENT "WINEDEBUG=-all")
endif()
