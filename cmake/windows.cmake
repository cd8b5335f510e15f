# linalg.dll (MinGW-w64): export table, import libraries, runtime linkage.
#
#   linalg.dll         the library; libgcc, libstdc++, libgomp and winpthreads
#                      are linked into it, so it needs only system DLLs
#   liblinalg.dll.a    import library for MinGW-w64 (GNU ld)
#   linalg.lib         import library for the Microsoft linker
#   linalg.def         the exported names
#
# The DLL exports the 89 functions and the members of Diagnostics under their
# GCC names and, as aliases, under the names Visual C++ gives the same
# declarations; cmake/msvc_names.py has clang derive both from the public
# headers the DLL implements (linalg.h, linalg_diag.h).
# Callers of a static library declare the classes without dllimport.
target_compile_definitions(linalg_static INTERFACE LINALG_STATIC)
if(NOT LINALG_LIBRARY_TYPE STREQUAL "SHARED")
  target_compile_definitions(linalg INTERFACE LINALG_STATIC)
  return()
endif()

foreach(_la_layer IN LISTS LINALG_LAYER_TARGETS)
  target_compile_definitions(${_la_layer} PRIVATE LINALG_BUILDING_DLL)
endforeach()
set_target_properties(linalg PROPERTIES
  PREFIX ""
  IMPORT_PREFIX "lib"
  IMPORT_SUFFIX ".dll.a")
target_link_options(linalg PRIVATE -static -static-libgcc -static-libstdc++ -Wl,--no-undefined)

find_package(Python3 REQUIRED COMPONENTS Interpreter)
find_program(LINALG_CLANGXX NAMES clang++ clang REQUIRED)
find_program(LINALG_LLVM_DLLTOOL NAMES llvm-dlltool REQUIRED)
find_program(LINALG_LLVM_NM NAMES llvm-nm)

set(_la_def_link ${PROJECT_BINARY_DIR}/linalg-link.def)
set(LINALG_DEF ${PROJECT_BINARY_DIR}/linalg.def)
set(LINALG_MSVC_NAMES ${PROJECT_BINARY_DIR}/msvc_names.txt)
add_custom_command(
  OUTPUT ${_la_def_link} ${LINALG_DEF} ${LINALG_MSVC_NAMES} ${PROJECT_BINARY_DIR}/msvc_names.inc
         ${PROJECT_BINARY_DIR}/msvc_members.inc
  COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/cmake/msvc_names.py
          ${LINALG_CLANGXX} ${PROJECT_SOURCE_DIR}/include/linalg.h,${PROJECT_SOURCE_DIR}/include/linalg_diag.h
          ${PROJECT_SOURCE_DIR}/include ${PROJECT_BINARY_DIR}/include
          --link-def ${_la_def_link} --def ${LINALG_DEF} --dll linalg.dll --list ${LINALG_MSVC_NAMES}
          --inc ${PROJECT_BINARY_DIR}/msvc_names.inc --members ${PROJECT_BINARY_DIR}/msvc_members.inc
  DEPENDS ${PROJECT_SOURCE_DIR}/cmake/msvc_names.py ${PROJECT_SOURCE_DIR}/include/linalg.h
          ${PROJECT_SOURCE_DIR}/include/linalg_diag.h
  COMMENT "Deriving the GCC and MSVC names of the exports from linalg.h and linalg_diag.h"
  VERBATIM)
add_custom_target(linalg_def DEPENDS ${_la_def_link} ${LINALG_DEF})
add_dependencies(linalg linalg_def)
target_link_options(linalg PRIVATE ${_la_def_link})
set_property(TARGET linalg APPEND PROPERTY LINK_DEPENDS ${_la_def_link})

# The Microsoft linker's import library, from the exported names.
add_custom_command(TARGET linalg POST_BUILD
  COMMAND ${LINALG_LLVM_DLLTOOL} -m i386:x86-64 -D linalg.dll -d ${LINALG_DEF}
          -l ${PROJECT_BINARY_DIR}/linalg.lib
  COMMENT "Import library for the Microsoft linker: linalg.lib"
  VERBATIM)

# The zip (CPack, from the install rules): what `cmake --install` puts in a
# prefix (linalg.dll, liblinalg.dll.a, the headers the DLL implements, the
# CMake package, linalg.pc), plus the Microsoft import library, the .def
# file, the MinGW-w64 runtime DLLs a program built by the same toolchain
# needs (the DLL itself has them linked in; a program built with the plain
# `g++ app.cpp -llinalg` loads libstdc++-6.dll, libgcc_s_seh-1.dll and
# libwinpthread-1.dll), LICENSE and docs/windows.md.
include(GNUInstallDirs)
install(FILES ${PROJECT_BINARY_DIR}/linalg.lib ${LINALG_DEF}
  DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
set(_la_mingw_runtime "")
foreach(_dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${_dll}
    OUTPUT_VARIABLE _path OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${_path}" OR NOT EXISTS "${_path}")
    message(FATAL_ERROR "MinGW-w64 runtime ${_dll} not found by ${CMAKE_CXX_COMPILER}")
  endif()
  get_filename_component(_path "${_path}" REALPATH)
  list(APPEND _la_mingw_runtime "${_path}")
endforeach()
install(FILES ${_la_mingw_runtime} DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
# Debian ships them with their symbols (24 MB for libstdc++-6.dll): stripped
# as installed.
foreach(_path ${_la_mingw_runtime})
  get_filename_component(_dll "${_path}" NAME)
  install(CODE "execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-unneeded
    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${_dll}\" COMMAND_ERROR_IS_FATAL ANY)"
    COMPONENT runtime)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . COMPONENT runtime)
install(FILES ${PROJECT_SOURCE_DIR}/docs/windows.md DESTINATION docs COMPONENT development)
# linalg.pc relative to its own place: the zip is unpacked anywhere.
set(LINALG_PC_RELOCATABLE ON)

# cpack installs without building everything first (the test programs need
# not exist); scripts/package_windows.sh builds the library itself.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME linalg)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME linalg-${PROJECT_VERSION}-windows-x86_64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ${CMAKE_INSTALL_BINDIR}/linalg.dll)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR})
include(CPack)
