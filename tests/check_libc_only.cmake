# SPDX-License-Identifier: GPL-2.0-only
# Fails unless every binary in BINARIES asks the dynamic linker for the C
# library and nothing else. Its ELF NEEDED entries say so whatever the release,
# where ldd's paths differ from one release to the next.
foreach(binary IN LISTS BINARIES)
  execute_process(COMMAND ${READELF} --dynamic --wide ${binary}
                  OUTPUT_VARIABLE dynamic RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "readelf failed on ${binary}")
  endif()
  string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*\\[[^]\n]+\\]" entries "${dynamic}")
  set(needed)
  foreach(entry IN LISTS entries)
    string(REGEX REPLACE ".*\\[([^]]+)\\]$" "\\1" library "${entry}")
    list(APPEND needed ${library})
  endforeach()
  if(NOT needed STREQUAL "libc.so.6")
    message(FATAL_ERROR "${binary} needs [${needed}], not just libc.so.6:\n${dynamic}")
  endif()
endforeach()
