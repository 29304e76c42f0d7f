# cmake -DCXX=<compiler> -DSTD=<17|20> -DINC=<dir|dir...> -DSRC=<file> -DCASE=<n> -DEXPECT=<regex>
#       [-DWERROR=ON] -P ...
# Compiles case CASE of SRC.  With EXPECT empty it must compile (without a
# warning, with WERROR, the build's KX_WERROR); otherwise it must fail with
# output matching EXPECT, so a case that breaks for another reason fails the
# test.
string(REPLACE "|" ";-I" inc "-I${INC}")
set(werror "")
if(WERROR)
  set(werror -Werror)
endif()
execute_process(COMMAND ${CXX} -std=c++${STD} -fsyntax-only -fno-exceptions -fno-rtti -Wall -Wextra
                        ${werror} ${inc} -DKX_CASE=${CASE} ${SRC}
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(EXPECT STREQUAL "")
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "case ${CASE} should compile:\n${out}")
  endif()
elseif(rc EQUAL 0)
  message(FATAL_ERROR "case ${CASE} compiled; expected: ${EXPECT}")
elseif(NOT out MATCHES "${EXPECT}")
  message(FATAL_ERROR "case ${CASE} failed without \"${EXPECT}\":\n${out}")
endif()
