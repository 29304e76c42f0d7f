# Writes the build manifest source: one .modinfo section holding the texts
# productversion, builddate, buildtime, builduser and buildhost, in that
# order, each NUL-terminated and padded with NULs to a 4-byte boundary so
# every text starts on one.  Run as: cmake -DOUT=<file> -DVERSION=<v> -P ...

string(TIMESTAMP build_date "%b %d %Y")
string(TIMESTAMP build_time "%H:%M:%S")

set(build_user "$ENV{USER}")
if(build_user STREQUAL "")
  execute_process(COMMAND id -un OUTPUT_VARIABLE build_user
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(build_user STREQUAL "")
  set(build_user "unknown")
endif()
cmake_host_system_information(RESULT build_host QUERY HOSTNAME)
if(build_host STREQUAL "")
  set(build_host "unknown")
endif()

set(body "")
set(total 0)
foreach(pair "productversion=${VERSION}" "builddate=${build_date}" "buildtime=${build_time}"
             "builduser=${build_user}" "buildhost=${build_host}")
  # Escape for a C string literal, then pad: text + NUL, rounded up to 4.
  string(REPLACE "\\" "\\\\" esc "${pair}")
  string(REPLACE "\"" "\\\"" esc "${esc}")
  string(LENGTH "${pair}" n)
  math(EXPR padded "((${n} + 1 + 3) / 4) * 4")
  math(EXPR nuls "${padded} - ${n}")
  set(pad "")
  foreach(i RANGE 1 ${nuls})
    string(APPEND pad "\\0")
  endforeach()
  math(EXPR total "${total} + ${padded}")
  string(APPEND body "    \"${esc}${pad}\"\n")
endforeach()

# The section must hold the texts and nothing else: AddressSanitizer would
# put a redzone after the array, inside the section, so it is kept off.
file(WRITE "${OUT}.tmp"
"/* Generated at build time by cmake/Manifest.cmake; do not edit. */
#if defined(__clang__)
#define KX_MANIFEST_UNINSTRUMENTED __attribute__((no_sanitize(\"address\")))
#else
#define KX_MANIFEST_UNINSTRUMENTED /* GCC leaves section variables alone */
#endif

__attribute__((section(\".modinfo\"), used, aligned(4))) KX_MANIFEST_UNINSTRUMENTED
/* Sized exactly: the literal's own terminator is not stored. */
static const char kxMUti_manifest[${total}] =
${body};
")
file(COPY_FILE "${OUT}.tmp" "${OUT}")
