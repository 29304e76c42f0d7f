# Debian's mipsel libedit for the console's cross build, from the sysroot
# that cmake/prepare-mipsel-sysroot.sh prepares.  Configure only reads it;
# it never downloads anything.
#
# The cross toolchain's own sysroot (/usr/mipsel-linux-gnu) has libc but no
# libedit.  The script unpacks Debian's libedit-dev, libedit2 and what they
# need into KX_DEBIAN_SYSROOT (a cache variable of the toolchain file;
# default: sysroot/mipsel in the source tree, outside build/, so removing
# the build trees keeps it), and beside them the
# target's run-time libraries with their shlibs and symbols files, from which
# CPack computes the mipsel packages' Depends (cmake/KxPackage.cmake).
#
# Sets KX_LIBEDIT_SYSROOT (empty when the sysroot is missing: the console is
# then built without editing, as where libedit is missing, with a warning
# naming the script) and KX_LIBEDIT_LIBDIRS (the folders holding libedit and
# the libraries it needs: libbsd, libmd, libtinfo).

if(KX_DEBIAN_SYSROOT AND EXISTS ${KX_DEBIAN_SYSROOT}/packages.txt)
  set(KX_LIBEDIT_SYSROOT ${KX_DEBIAN_SYSROOT})
  set(KX_LIBEDIT_LIBDIRS ${KX_LIBEDIT_SYSROOT}/usr/lib/${KX_TARGET_TRIPLE}
                         ${KX_LIBEDIT_SYSROOT}/lib/${KX_TARGET_TRIPLE})
  # A sysroot prepared again changes the libraries found: configure again.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
               ${KX_DEBIAN_SYSROOT}/packages.txt)
else()
  set(KX_LIBEDIT_SYSROOT "")
  set(KX_LIBEDIT_LIBDIRS "")
  message(WARNING "No target sysroot at ${KX_DEBIAN_SYSROOT} (cache variable "
                  "KX_DEBIAN_SYSROOT): the console is built without line editing, and the "
                  "mipsel .deb packages cannot be made.  Prepare it once with\n"
                  "  ${PROJECT_SOURCE_DIR}/cmake/prepare-mipsel-sysroot.sh [--from <folder of .deb files>] ${KX_DEBIAN_SYSROOT}\n"
                  "then configure again.")
endif()
