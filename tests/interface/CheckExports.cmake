# Checks that a shared library exports exactly what its public headers
# declare with KX_API: every declared function and variable is defined and
# exported with the right kind (code or data), and nothing else is.
#
#   cmake -DNM=<nm> -DLIBRARY=<file.so> -DHEADERS=<h1|h2|...>
#         [-DIGNORE_REGEX=<regex>] -P CheckExports.cmake
#
# (Header paths are separated by '|': a test's command line cannot carry
# a CMake list.)
#
# The expected list comes from the headers themselves: comments and
# preprocessor lines are dropped, the text is cut into declarations at ';',
# '{' and '}', and each declaration holding the word KX_API names one
# export.  A declaration with a parameter list is a function, named by the
# identifier before its first '(' (or inside "(*name)" for a pointer to a
# function); any other is data, named by its last identifier.  IGNORE_REGEX
# drops matching library symbols that a build variant adds by itself.

cmake_minimum_required(VERSION 3.25)

foreach(var NM LIBRARY HEADERS)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
    message(FATAL_ERROR "CheckExports: ${var} not set")
  endif()
endforeach()

set(ident "[A-Za-z_][A-Za-z0-9_]*")
string(REPLACE "|" ";" HEADERS "${HEADERS}")

# ---- What the headers declare -------------------------------------------

set(expected "")
foreach(header IN LISTS HEADERS)
  if(header STREQUAL "")
    continue()
  endif()
  file(READ "${header}" text)
  # Brackets and semicolons would upset CMake's list handling below.
  string(REPLACE "[" "<" text "${text}")
  string(REPLACE "]" ">" text "${text}")
  string(REPLACE ";" "@SEMI@" text "${text}")
  # Comments, then preprocessor lines with their continuations.
  string(REGEX REPLACE "/\\*([^*]|\\*+[^*/])*\\*+/" " " text "${text}")
  string(REGEX REPLACE "//[^\n]*" " " text "${text}")
  string(REGEX REPLACE "\\\\\n" " " text "${text}")
  string(REGEX REPLACE "(^|\n)[ \t]*#[^\n]*" "\\1" text "${text}")
  string(REGEX REPLACE "[\n\t ]+" " " text "${text}")
  string(REPLACE "{" "@SEMI@" text "${text}")
  string(REPLACE "}" "@SEMI@" text "${text}")
  string(REPLACE "@SEMI@" ";" decls " ${text} ")

  set(n_in_header 0)
  foreach(decl IN LISTS decls)
    if(NOT decl MATCHES "(^|[^A-Za-z0-9_])KX_API([^A-Za-z0-9_]|$)")
      continue()
    endif()
    string(REGEX REPLACE "<[^>]*>" "" decl "${decl}")   # array bounds
    string(REGEX REPLACE "=.*$" "" decl "${decl}")      # initialiser
    string(STRIP "${decl}" decl)
    if(decl MATCHES "^[^(]*\\( *\\* *(${ident}) *\\)")
      set(entry "${CMAKE_MATCH_1} data")             # pointer to function
    elseif(decl MATCHES "(${ident}) *\\(")
      set(entry "${CMAKE_MATCH_1} code")
    elseif(decl MATCHES "(${ident}) *$")
      set(entry "${CMAKE_MATCH_1} data")
    else()
      message(FATAL_ERROR "CheckExports: cannot read the declaration \"${decl}\" in ${header}")
    endif()
    list(APPEND expected "${entry}")
    math(EXPR n_in_header "${n_in_header} + 1")
  endforeach()
  message(STATUS "${header}: ${n_in_header} KX_API declarations")
endforeach()
list(SORT expected)
list(REMOVE_DUPLICATES expected)
list(LENGTH expected n_expected)
if(n_expected EQUAL 0)
  message(FATAL_ERROR "CheckExports: no KX_API declaration found in: ${HEADERS}")
endif()

# ---- What the library exports -------------------------------------------

execute_process(COMMAND "${NM}" -D --defined-only "${LIBRARY}"
                RESULT_VARIABLE rc OUTPUT_VARIABLE nm_out ERROR_VARIABLE nm_err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "CheckExports: ${NM} failed on ${LIBRARY} (${rc}): ${nm_err}")
endif()
string(REPLACE "[" "<" nm_out "${nm_out}")
string(REPLACE "]" ">" nm_out "${nm_out}")
string(REPLACE ";" "@SEMI@" nm_out "${nm_out}")
string(REPLACE "\n" ";" nm_lines "${nm_out}")

# nm's type letters: code T (text), W (weak), i (indirect function);
# data B (bss), D (data), G/S (small data), R (read-only), V (weak object),
# u (unique global).  Absolute symbols (A), such as version nodes, name no
# code or data and are left out.
set(actual "")
set(ignored "")
foreach(line IN LISTS nm_lines)
  if(line STREQUAL "")
    continue()
  endif()
  if(NOT line MATCHES "^[0-9A-Fa-f]* *([A-Za-z]) (${ident})(@.*)?$")
    message(FATAL_ERROR "CheckExports: unexpected ${NM} output line \"${line}\"")
  endif()
  set(letter "${CMAKE_MATCH_1}")
  set(name "${CMAKE_MATCH_2}")
  if(letter MATCHES "^[TWi]$")
    set(kind code)
  elseif(letter MATCHES "^[BDGRSVu]$")
    set(kind data)
  elseif(letter STREQUAL "A")
    continue()
  else()
    set(kind "type-${letter}")
  endif()
  if(DEFINED IGNORE_REGEX AND NOT IGNORE_REGEX STREQUAL "" AND name MATCHES "${IGNORE_REGEX}")
    list(APPEND ignored "${name}")
    continue()
  endif()
  list(APPEND actual "${name} ${kind}")
endforeach()
list(SORT actual)
list(REMOVE_DUPLICATES actual)
list(LENGTH actual n_actual)
list(LENGTH ignored n_ignored)

# ---- Compare --------------------------------------------------------------

set(missing "")
set(wrong_kind "")
foreach(entry IN LISTS expected)
  list(FIND actual "${entry}" at)
  if(at GREATER -1)
    continue()
  endif()
  string(REGEX REPLACE " .*" "" name "${entry}")
  set(other "${actual}")
  list(FILTER other INCLUDE REGEX "^${name} ")
  if(other)
    list(APPEND wrong_kind "${name}: declared as ${entry}, exported as ${other}")
  else()
    list(APPEND missing "${entry}")
  endif()
endforeach()
set(extra "")
foreach(entry IN LISTS actual)
  string(REGEX REPLACE " .*" "" name "${entry}")
  set(declared "${expected}")
  list(FILTER declared INCLUDE REGEX "^${name} ")
  if(NOT declared)
    list(APPEND extra "${entry}")
  endif()
endforeach()

message(STATUS "${LIBRARY}: ${n_expected} declared, ${n_actual} exported"
               " (${n_ignored} build-variant symbols ignored)")
set(failed FALSE)
foreach(problem missing wrong_kind extra)
  if(${problem})
    set(failed TRUE)
    list(LENGTH ${problem} count)
    list(JOIN ${problem} "\n    " items)
    if(problem STREQUAL "missing")
      set(title "declared with KX_API but not exported")
    elseif(problem STREQUAL "wrong_kind")
      set(title "exported as the wrong kind")
    else()
      set(title "exported but not declared with KX_API")
    endif()
    message("exports: FAIL: ${count} ${title}:\n    ${items}")
  endif()
endforeach()
if(failed)
  message(FATAL_ERROR "exports: ${LIBRARY} does not export exactly its KX_API declarations")
endif()
message(STATUS "exports: OK")
