# linalg.dll (MinGW-w64): export table, import libraries, runtime linkage.
#
#   linalg.dll         the library; libgcc, libstdc++, libgomp and winpthreads
#                      are linked into it, so it needs only system DLLs
#   liblinalg.dll.a    import library for MinGW-w64 (GNU ld)
#   linalg.lib         import library for the Microsoft linker
#   linalg.def         the exported names
#
# The DLL exports the 89 functions under their GCC names and, as aliases,
# under the names Visual C++ gives the same declarations; cmake/msvc_names.py
# has clang derive both from the header.
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
  COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/cmake/msvc_names.py
          ${LINALG_CLANGXX} ${PROJECT_SOURCE_DIR}/include/linalg.h
          ${PROJECT_SOURCE_DIR}/include ${PROJECT_BINARY_DIR}/include
          --link-def ${_la_def_link} --def ${LINALG_DEF} --dll linalg.dll --list ${LINALG_MSVC_NAMES}
          --inc ${PROJECT_BINARY_DIR}/msvc_names.inc
  DEPENDS ${PROJECT_SOURCE_DIR}/cmake/msvc_names.py ${PROJECT_SOURCE_DIR}/include/linalg.h
  COMMENT "Deriving the GCC and MSVC names of the exports from linalg.h"
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
