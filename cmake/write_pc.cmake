# Install-time part of the pkg-config file: fills in the prefix the files are
# being installed to and writes linalg.pc below DESTDIR, as install(FILES)
# would. Set by the caller: LINALG_PC_TEMPLATE (linalg.pc.in with the
# configure-time values filled in), LINALG_PC_LIBDIR and LINALG_PC_INCLUDEDIR
# (relative to the prefix, or absolute), LINALG_PC_RELOCATABLE.
get_filename_component(_pc_prefix "${CMAKE_INSTALL_PREFIX}" ABSOLUTE)
set(LINALG_PC_PREFIX "${_pc_prefix}")
# LINALG_PC_RELOCATABLE (the Windows zip): the prefix relative to the .pc
# file's own directory, lib/pkgconfig.
if(LINALG_PC_RELOCATABLE AND NOT IS_ABSOLUTE "${LINALG_PC_LIBDIR}")
  set(LINALG_PC_PREFIX "\${pcfiledir}/../..")
endif()
foreach(_dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${LINALG_PC_${_dir}}")
    set(LINALG_PC_${_dir}_PATH "${LINALG_PC_${_dir}}")
  else()
    set(LINALG_PC_${_dir}_PATH "\${prefix}/${LINALG_PC_${_dir}}")
  endif()
endforeach()
if(IS_ABSOLUTE "${LINALG_PC_LIBDIR}")
  set(_pc_dest "$ENV{DESTDIR}${LINALG_PC_LIBDIR}/pkgconfig")
else()
  set(_pc_dest "$ENV{DESTDIR}${_pc_prefix}/${LINALG_PC_LIBDIR}/pkgconfig")
endif()
message(STATUS "Installing: ${_pc_dest}/linalg.pc")
configure_file("${LINALG_PC_TEMPLATE}" "${_pc_dest}/linalg.pc" @ONLY)
file(CHMOD "${_pc_dest}/linalg.pc" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${_pc_dest}/linalg.pc")
