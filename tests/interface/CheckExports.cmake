# Checks that a library exports exactly what its public headers declare
# with KX_API, functions as code and variables as data, leaving out the
# symbols a build variant adds by itself (IGNORE; "^$" for none):
#   cmake -DNM=<nm> -DLIBRARY=<so> -DINCLUDE=<dir> -DIGNORE=<regex> -P CheckExports.cmake

cmake_minimum_required(VERSION 3.25)
set(ident "[A-Za-z_][A-Za-z0-9_]*")

# Without comments and preprocessor lines, each "KX_API ...;" declares one
# export: a function when a parameter list follows a name, else a variable.
# What these patterns cannot read stays as it is and shows up as missing.
file(GLOB headers ${INCLUDE}/*.h)
foreach(header IN LISTS headers)
  file(READ ${header} text)
  string(REGEX REPLACE "/\\*([^*]|\\*+[^*/])*\\*+/|//[^\n]*|\n[ \t]*#[^\n]*" "\n" text
         "\n${text}")
  string(REGEX MATCHALL "KX_API[^;]*" decls "${text}")
  list(APPEND expected ${decls})
endforeach()
list(TRANSFORM expected REPLACE "^[^(]*[^A-Za-z0-9_](${ident})[ \t\n]*\\(.*" "\\1 code")
list(TRANSFORM expected REPLACE "^KX_API.*[^A-Za-z0-9_](${ident})[ \t\n]*$" "\\1 data")
if(NOT expected)
  message(FATAL_ERROR "exports: no KX_API declaration in ${INCLUDE}")
endif()

# nm's letters: T, W and i are code; A (version nodes) names nothing.
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY} OUTPUT_VARIABLE out
                COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "[^\n]+" actual "${out}")
list(FILTER actual EXCLUDE REGEX "^[0-9A-Fa-f]* +A ")
list(TRANSFORM actual REPLACE "^[0-9A-Fa-f]* +[TWi] (${ident}).*" "\\1 code")
list(TRANSFORM actual REPLACE "^[0-9A-Fa-f]* +[A-Za-z] (${ident}).*" "\\1 data")
list(FILTER actual EXCLUDE REGEX "${IGNORE}")

set(missing ${expected})
list(REMOVE_ITEM missing "" ${actual}) # "": REMOVE_ITEM wants a value
set(extra ${actual})
list(REMOVE_ITEM extra ${expected})
if(missing OR extra)
  message(FATAL_ERROR "exports: declared with KX_API but not exported so: ${missing}\n"
                      "exports: exported but not declared with KX_API: ${extra}")
endif()
list(LENGTH expected count)
message(STATUS "exports: ${count} KX_API declarations, all exported")
