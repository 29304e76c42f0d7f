# Checks the .modinfo build manifest of a library: a section aligned to 4
# or more that holds five NUL-terminated texts in a fixed order, each
# padded with NULs to the next 4-byte boundary, and nothing else:
#   cmake -DOBJCOPY=<objcopy> -DREADELF=<readelf> -DLIBRARY=<file.so>
#         -DOUT=<scratch file> -P CheckManifest.cmake

cmake_minimum_required(VERSION 3.25)

# The last column of a section's line is its alignment.
execute_process(COMMAND ${READELF} -SW ${LIBRARY} OUTPUT_VARIABLE sections
                COMMAND_ERROR_IS_FATAL ANY)
if(NOT sections MATCHES "\\] \\.modinfo [^\n]* ([0-9]+)\n")
  message(FATAL_ERROR "manifest: no .modinfo section in ${LIBRARY}")
elseif(CMAKE_MATCH_1 LESS 4)
  message(SEND_ERROR "manifest: .modinfo is aligned to ${CMAKE_MATCH_1} bytes, not 4")
endif()

# Rebuilds the section from the texts found in it: any other byte, missing
# padding or extra text makes the two differ.
execute_process(COMMAND ${OBJCOPY} -O binary --only-section=.modinfo ${LIBRARY} ${OUT}
                COMMAND_ERROR_IS_FATAL ANY)
file(READ ${OUT} actual HEX)
file(STRINGS ${OUT} texts)
set(month "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)")
foreach(form "productversion=dev" "builddate=${month} [0-3][0-9] [0-9][0-9][0-9][0-9]"
             "buildtime=[0-2][0-9]:[0-5][0-9]:[0-6][0-9]" "builduser=.+" "buildhost=.+")
  list(POP_FRONT texts text)
  if(NOT text MATCHES "^${form}$")
    message(FATAL_ERROR "manifest: found \"${text}\" where \"${form}\" belongs")
  endif()
  string(HEX "${text}" hex)
  string(LENGTH "${text}" length)
  math(EXPR nuls "4 - ${length} % 4")
  string(REPEAT "00" ${nuls} padding)
  string(APPEND expected "${hex}${padding}")
endforeach()
if(NOT actual STREQUAL expected)
  message(FATAL_ERROR "manifest: the section is\n  ${actual}\nnot\n  ${expected}")
endif()
