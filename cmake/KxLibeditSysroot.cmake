# Debian's mipsel libedit, unpacked into a sysroot under the build tree, for
# the console's cross build.
#
# The cross toolchain's own sysroot (/usr/mipsel-linux-gnu) has libc but no
# libedit, and a multiarch install of libedit-dev:mipsel beside the native
# one is not needed: the packages are fetched with `apt-get download` and
# unpacked with `dpkg -x` into ${KX_LIBEDIT_SYSROOT} on the first configure.
# apt must know the mipsel architecture (as root, once per machine:
# `dpkg --add-architecture mipsel && apt-get update`; .ci/run does it).
#
# Sets KX_LIBEDIT_SYSROOT and KX_LIBEDIT_LIBDIRS (the folders holding
# libedit and the libraries it needs: libbsd, libmd, libtinfo).

set(KX_LIBEDIT_SYSROOT ${CMAKE_BINARY_DIR}/sysroot-libedit CACHE PATH
    "Sysroot holding the target's libedit and its dependencies")
set(KX_LIBEDIT_PACKAGES libedit-dev libedit2 libbsd0 libmd0 libtinfo6)
set(KX_LIBEDIT_LIBDIRS ${KX_LIBEDIT_SYSROOT}/usr/lib/${KX_TARGET_TRIPLE}
                       ${KX_LIBEDIT_SYSROOT}/lib/${KX_TARGET_TRIPLE})

if(NOT EXISTS ${KX_LIBEDIT_SYSROOT}/.unpacked)
  set(debs ${KX_LIBEDIT_SYSROOT}/debs)
  file(MAKE_DIRECTORY ${debs})
  list(TRANSFORM KX_LIBEDIT_PACKAGES APPEND ":${CMAKE_SYSTEM_PROCESSOR}" OUTPUT_VARIABLE names)
  message(STATUS "libedit sysroot: apt-get download ${names}")
  execute_process(COMMAND apt-get download ${names}
                  WORKING_DIRECTORY ${debs} RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "libedit sysroot: apt-get download failed:\n${err}\n"
            "Enable the architecture once, as root: "
            "dpkg --add-architecture ${CMAKE_SYSTEM_PROCESSOR} && apt-get update")
  endif()
  file(GLOB files ${debs}/*.deb)
  foreach(deb ${files})
    execute_process(COMMAND dpkg -x ${deb} ${KX_LIBEDIT_SYSROOT} RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "libedit sysroot: dpkg -x ${deb} failed")
    endif()
  endforeach()
  file(TOUCH ${KX_LIBEDIT_SYSROOT}/.unpacked)
endif()
