# Fails when portable code includes a host implementation:
#  - the wire protocol (protocol/) includes nothing outside protocol/;
#  - the host interfaces (platform/*), the fakes (platform/fake/), the agent's libraries
#    (DuskFerryAgent/*/) and the phone client's library (tools/phone/) include nothing from
#    platform/linux/; only the programs' main.cpp choose the Linux implementations.
# Usage: cmake -DROOT=<source dir> -P CheckPortableIncludes.cmake
if(NOT ROOT)
  message(FATAL_ERROR "ROOT is not set")
endif()

set(_violations "")

# _check(<files> <regex of forbidden include paths> <why>)
function(_check files forbidden why)
  foreach(_file IN LISTS files)
    file(STRINGS "${ROOT}/${_file}" _lines REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<]")
    foreach(_line IN LISTS _lines)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*[\"<]([^\">]*)[\">].*" "\\1" _path "${_line}")
      if(_path MATCHES "${forbidden}")
        list(APPEND _violations "${_file}: #include \"${_path}\" (${why})")
      endif()
    endforeach()
  endforeach()
  set(_violations "${_violations}" PARENT_SCOPE)
endfunction()

set(_globs "*.h;*.hpp;*.cpp;*.cc")
macro(_sources out)
  set(${out} "")
  foreach(_dir ${ARGN})
    foreach(_g IN LISTS _globs)
      file(GLOB_RECURSE _found RELATIVE "${ROOT}" "${ROOT}/${_dir}/${_g}")
      list(APPEND ${out} ${_found})
    endforeach()
  endforeach()
endmacro()

_sources(_protocol protocol)
_check("${_protocol}" "^(platform|DuskFerryAgent|tools|tests)/" "the protocol is portable: no agent or host code")

_sources(_portable DuskFerryAgent platform/fake tools/phone)
foreach(_g IN LISTS _globs)
  file(GLOB _interfaces RELATIVE "${ROOT}" "${ROOT}/platform/${_g}")
  list(APPEND _portable ${_interfaces})
endforeach()
list(FILTER _portable EXCLUDE REGEX "(^|/)main\\.cpp$")
_check("${_portable}" "^platform/linux/" "portable code: only the programs choose the Linux implementations")

list(LENGTH _protocol _n1)
list(LENGTH _portable _n2)
math(EXPR _n "${_n1} + ${_n2}")
if(_violations)
  list(JOIN _violations "\n  " _text)
  message(FATAL_ERROR "Portable files include host implementations:\n  ${_text}")
endif()
message(STATUS "${_n} portable files include no host implementation")
