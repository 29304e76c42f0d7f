# Checks the libraries a library needs at run time (its NEEDED entries):
# libc and the debug service, nothing like libstdc++, libgcc_s or libm:
#   cmake -DREADELF=<readelf> -DLIBRARY=<file.so> -P CheckNeeded.cmake

cmake_minimum_required(VERSION 3.25)

execute_process(COMMAND ${READELF} -d ${LIBRARY} OUTPUT_VARIABLE out COMMAND_ERROR_IS_FATAL ANY)
# Lines look like: 0x00000001 (NEEDED)   Shared library: [libc.so.6]
string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*" needed "${out}")
list(TRANSFORM needed REPLACE "^[^[]*\\[(.*)\\]$" "\\1")
message(STATUS "needed: ${needed}")
set(others ${needed})
list(FILTER others EXCLUDE REGEX "^(libc|libqvStbDbg)\\.so(\\.[0-9]+)*$")
if(others OR NOT needed MATCHES "(^|;)libc\\.so")
  message(FATAL_ERROR "needed: ${LIBRARY} needs ${needed}: only libc and libqvStbDbg allowed")
endif()
