# Checks the shared libraries a library depends on at run time (its NEEDED
# entries): the C library must be among them and every one must match one
# of the allowed patterns, so nothing like libstdc++, libgcc_s or libm
# slips in.
#
#   cmake -DREADELF=<readelf> -DLIBRARY=<file.so>
#         -DALLOWED=<regex;regex;...> -P CheckNeeded.cmake

cmake_minimum_required(VERSION 3.25)

foreach(var READELF LIBRARY ALLOWED)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
    message(FATAL_ERROR "CheckNeeded: ${var} not set")
  endif()
endforeach()

execute_process(COMMAND "${READELF}" -d "${LIBRARY}"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "CheckNeeded: ${READELF} failed on ${LIBRARY} (${rc}): ${err}")
endif()
if(NOT out MATCHES "Dynamic section")
  message(FATAL_ERROR "CheckNeeded: ${LIBRARY} has no dynamic section:\n${out}")
endif()

# Lines look like: 0x00000001 (NEEDED)   Shared library: [libc.so.6]
string(REPLACE "[" "<" out "${out}")
string(REPLACE "]" ">" out "${out}")
string(REPLACE ";" "@SEMI@" out "${out}")
string(REGEX MATCHALL "\\(NEEDED\\)[^<\n]*<[^>\n]*>" entries "${out}")

set(needed "")
set(bad "")
foreach(entry IN LISTS entries)
  string(REGEX REPLACE "^.*<([^>]*)>$" "\\1" lib "${entry}")
  list(APPEND needed "${lib}")
  set(ok FALSE)
  foreach(pattern IN LISTS ALLOWED)
    if(lib MATCHES "${pattern}")
      set(ok TRUE)
    endif()
  endforeach()
  if(NOT ok)
    list(APPEND bad "${lib}")
  endif()
endforeach()

list(JOIN needed ", " needed_text)
message(STATUS "${LIBRARY} needs: ${needed_text}")
set(failed FALSE)
if(bad)
  list(JOIN bad ", " bad_text)
  message("needed: FAIL: not allowed: ${bad_text}")
  set(failed TRUE)
endif()
set(has_libc FALSE)
foreach(lib IN LISTS needed)
  if(lib MATCHES "^libc\\.so")
    set(has_libc TRUE)
  endif()
endforeach()
if(NOT has_libc)
  message("needed: FAIL: the C library is not among the NEEDED entries")
  set(failed TRUE)
endif()
if(failed)
  message(FATAL_ERROR "needed: ${LIBRARY} depends on more than the C library and the debug service")
endif()
message(STATUS "needed: OK")
