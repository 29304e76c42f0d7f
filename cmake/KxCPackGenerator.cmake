# Read by cpack once per generator (CPACK_PROJECT_CONFIG_FILE), with
# CPACK_GENERATOR naming the one at work.

if(CPACK_GENERATOR STREQUAL "DEB")
  # One .deb per component: the library (kxmuti, section libs) apart from
  # its development files (kxmuti-dev, section libdevel), so a board
  # installs the library alone.  The archives keep them together.
  unset(CPACK_COMPONENT_RUNTIME_GROUP)
  unset(CPACK_COMPONENT_DEVELOPMENT_GROUP)

  # Without dpkg-shlibdeps CPack would leave the computed Depends out.
  find_program(KX_DPKG_SHLIBDEPS dpkg-shlibdeps)
  find_program(KX_FILE file)
  if(NOT KX_DPKG_SHLIBDEPS OR NOT KX_FILE)
    message(FATAL_ERROR "The .deb packages' Depends are computed with dpkg-shlibdeps and "
                        "file: install the Debian packages dpkg-dev and file.")
  endif()

  if(CPACK_KX_DEB_HOST_ARCH)
    # Cross build: dpkg-shlibdeps reads the target's libraries (objdump of
    # that architecture) and the dependency information of their packages
    # from the prepared sysroot.
    if(NOT EXISTS "${CPACK_KX_SHLIBS_ROOT}/DEBIAN/shlibs")
      message(FATAL_ERROR "The ${CPACK_KX_DEB_HOST_ARCH} .deb packages need the target's "
                          "libraries and their shlibs and symbols files, missing from "
                          "${CPACK_KX_SHLIBS_ROOT}.  Prepare them once with\n"
                          "  ${CPACK_KX_PREPARE_SYSROOT}\n")
    endif()
    set(ENV{DEB_HOST_ARCH} ${CPACK_KX_DEB_HOST_ARCH})
  endif()
endif()
