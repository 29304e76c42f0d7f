# Compiler settings shared by every target of the tree.
#
# kx_library_flags(<target>) gives a target of the library proper its
# language rules: no exceptions, no RTTI, nothing that needs the C++ runtime,
# hidden symbols unless marked for export, and large-file-aware stdio (on
# the 32-bit board plain fopen then opens files past 2 GiB too).  Linking
# kx_warnings turns on the warning set for any target of ours; KX_WERROR
# makes the warnings errors.  It is off by default, so a newer compiler's
# new warning does not break a project that builds this tree as a
# dependency; every preset and the continuous integration turn it on.

option(KX_WERROR "Treat compiler warnings as errors" OFF)

add_library(kx_warnings INTERFACE)
target_compile_options(kx_warnings INTERFACE -Wall -Wextra $<$<BOOL:${KX_WERROR}>:-Werror>)

add_library(kx_sanitize INTERFACE)
if(KX_SANITIZE)
  target_compile_options(kx_sanitize INTERFACE -fsanitize=${KX_SANITIZE} -fno-omit-frame-pointer
                                               -fno-sanitize-recover=all)
  target_link_options(kx_sanitize INTERFACE -fsanitize=${KX_SANITIZE})
  if(CMAKE_C_COMPILER_ID STREQUAL "Clang")
    # C programs (the example shell) load the C++ library's sanitizer hooks
    # too: link the C++ half of the sanitizer runtime into them as well.
    target_link_options(kx_sanitize INTERFACE
      $<$<LINK_LANGUAGE:C>:-fsanitize-link-c++-runtime -lstdc++>)
  endif()
endif()

function(kx_library_flags target)
  target_compile_options(${target} PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti -fno-threadsafe-statics
                              -fvisibility-inlines-hidden>
    -fvisibility=hidden)
  target_compile_definitions(${target} PRIVATE _FILE_OFFSET_BITS=64)
  target_link_libraries(${target} PRIVATE kx_warnings kx_sanitize)
endfunction()

# kx_shared_library_links(<target>) links a shared library of the tree as
# the board needs it: by the C driver, so nothing of the C++ runtime is
# pulled in; only the libraries it really uses recorded as needed; and,
# outside sanitizer builds (whose runtimes resolve late), every symbol
# resolved at link time against the libraries it names.
function(kx_shared_library_links target)
  set_target_properties(${target} PROPERTIES LINKER_LANGUAGE C)
  target_link_options(${target} PRIVATE -Wl,--as-needed)
  if(NOT KX_SANITIZE)
    target_link_options(${target} PRIVATE -Wl,--no-undefined)
  endif()
endfunction()
