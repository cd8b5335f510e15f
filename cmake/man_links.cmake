# After Doxygen (MAN_LINKS): a name that LA and the MPI companion DLA both
# declare (SolveLSE, InverseMsq, ...) gets one link page, written by
# whichever class Doxygen wrote last; it points to LA's page, the library
# every package of linalg installs.
# Usage: cmake -DDIR=<man/man3> -P man_links.cmake (after each Doxygen run)
file(READ "${DIR}/LinearAlgebra_LA.3" _la)
file(GLOB _pages "${DIR}/*.3")
foreach(_page ${_pages})
  file(READ "${_page}" _body)
  if(_body MATCHES "^\\.so man3/LinearAlgebra_DLA\\.3")
    get_filename_component(_name "${_page}" NAME)
    string(REGEX REPLACE "\\.3$" "" _name "${_name}")
    string(FIND "${_la}" "\\fB${_name}\\fP " _at)
    if(_at GREATER -1)
      file(WRITE "${_page}" ".so man3/LinearAlgebra_LA.3\n")
    endif()
  endif()
endforeach()

# The guides of docs/ are pages of the HTML reference; as man pages their
# Markdown turns into broken roff (groff warnings), and they are installed
# as Markdown beside the HTML anyway.
file(GLOB _guides "${DIR}/md_*.3")
if(_guides)
  file(REMOVE ${_guides})
endif()

# The enumerators of Error (None, Io, Device, ...) are documented on the
# Diagnostics page; link pages under such generic names would claim files
# that other packages' man pages may also use.
foreach(_name None Singular NoMemory NotConverged NonFinite NotInitialized NoDevice Device Io)
  file(REMOVE "${DIR}/${_name}.3")
endforeach()
