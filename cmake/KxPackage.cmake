# Packages of the install components, for the machine the build targets
# (the host, or the set-top box from the mipsel preset):
#
#   cpack --preset default        build/default/packages/
#   cpack --preset mipsel         build/mipsel/packages/   (needs the target
#                                 sysroot: cmake/prepare-mipsel-sysroot.sh)
#
# .deb: one package per install component, described by the table below.
# Each package's Depends is computed from the binaries it holds: CPack runs
# dpkg-shlibdeps on them, which turns every library they need into the
# Debian package that provides it, with the lowest version that has every
# symbol they use (libc6 (>= 2.34), libstdc++6 (>= 11), libedit2 (>= ...)).
# The packages of this tree come on top, from the table, at this exact
# version: dpkg-shlibdeps cannot map libkxMUti.so to a package, because its
# name carries no version (programs on the board link it by that name).  In
# the cross build dpkg-shlibdeps reads the target's libraries and their
# shlibs and symbols files from the sysroot's shlibs/ folder
# (cmake/KxLibeditSysroot.cmake).  .ci/run checks every package's Depends
# against what its binaries need (.ci/check-depends.py).
#
# .tar.gz: the library and its development files in one archive (the plain
# name, kxMUti-<version>-Linux-<processor>.tar.gz), every other component in
# one of its own (...-<component>.tar.gz).  They unpack anywhere: the run
# paths and the .pc and CMake files are relative to where they land.

if(NOT KX_INSTALL)
  return()
endif()

set(CPACK_PACKAGE_NAME kxMUti)
set(CPACK_PACKAGE_VENDOR "kxMUti")
set(CPACK_PACKAGE_CONTACT "kxMUti developers <kxmuti-dev@lists.kxmuti.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Line-oriented command interpreter for test and bring-up programs")
set(CPACK_GENERATOR TGZ DEB)
set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-Linux-${CMAKE_SYSTEM_PROCESSOR})
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
# Generator-specific settings, read by cpack for each generator: the .deb
# files split the library from its development files.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/KxCPackGenerator.cmake)

# The archive of the library and its development files carries the plain
# name; the others get their component's name appended.
set(CPACK_ARCHIVE_KXMUTI_FILE_NAME ${CPACK_PACKAGE_FILE_NAME})

set(CPACK_DEBIAN_PACKAGE_NAME kxmuti)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL "mipsel")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE mipsel)
  # dpkg-shlibdeps: the target's libraries and their dependency information
  # (prepare-mipsel-sysroot.sh), and the architecture it reads them for.
  set(shlibs ${KX_DEBIAN_SYSROOT}/shlibs)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${shlibs}/lib/${KX_TARGET_TRIPLE}
                                                  ${shlibs}/usr/lib/${KX_TARGET_TRIPLE})
  set(CPACK_KX_DEB_HOST_ARCH mipsel)
  set(CPACK_KX_SHLIBS_ROOT ${shlibs})
  set(CPACK_KX_PREPARE_SYSROOT
      "${PROJECT_SOURCE_DIR}/cmake/prepare-mipsel-sysroot.sh ${KX_DEBIAN_SYSROOT}")
endif()

# kx_package(<component> <package> <section> [NEEDS <component>...]
#            [RECOMMENDS <component>...] [DEPENDS <debian relations>]
#            [ARCHITECTURE <arch>])
#
# The .deb of an install component: its name and archive section; NEEDS
# and RECOMMENDS name components of this tree, whose packages it then
# depends on (or recommends) at this exact version; DEPENDS adds Debian
# relations that the binaries do not show (a program it runs, a module it
# loads), as does kx_install_library(... DEB_DEPENDS); ARCHITECTURE "all"
# for a package without binaries.  A component of no kx_package() line
# (a companion's) gets kxmuti-<component>, section libs, needing runtime.
function(kx_package component package section)
  cmake_parse_arguments(PARSE_ARGV 3 A "" "ARCHITECTURE" "NEEDS;RECOMMENDS;DEPENDS")
  set_property(GLOBAL APPEND PROPERTY KX_PACKAGED_COMPONENTS ${component})
  foreach(field package section A_NEEDS A_RECOMMENDS A_DEPENDS A_ARCHITECTURE)
    set_property(GLOBAL PROPERTY KX_PACKAGE_${component}_${field} "${${field}}")
  endforeach()
endfunction()

#          component    package           section   relations
kx_package(runtime      kxmuti            libs      RECOMMENDS debugstub)
kx_package(development  kxmuti-dev        libdevel  NEEDS runtime RECOMMENDS debugstub)
kx_package(debugstub    kxmuti-debugstub  libs)
kx_package(console      kxmuti-console    libs      NEEDS runtime)
kx_package(serve        kxmuti-serve      libs      NEEDS runtime console)
kx_package(shell        kxmuti-shell      utils     NEEDS runtime console serve)
kx_package(python       python3-kxmuti    python    ARCHITECTURE all DEPENDS "python3 (>= 3.11)")

# The runtime package recommends the stand-in: on a PC libkxMUti.so needs it;
# a board brings its own libqvStbDbg.so (apt follows a recommendation,
# dpkg -i does not).

get_cmake_property(kx_components COMPONENTS)
get_property(listed GLOBAL PROPERTY KX_PACKAGED_COMPONENTS)
foreach(component IN LISTS kx_components)
  if(NOT component IN_LIST listed)
    kx_package(${component} kxmuti-${component} libs NEEDS runtime)
  endif()
endforeach()

# A component's package name, for the relations of another.
function(kx_package_names out)
  set(names "")
  foreach(component IN LISTS ARGN)
    get_property(package GLOBAL PROPERTY KX_PACKAGE_${component}_package)
    if(NOT package)
      message(FATAL_ERROR "kx_package: no package for the component \"${component}\"")
    endif()
    list(APPEND names "${package} (= ${PROJECT_VERSION})")
  endforeach()
  list(JOIN names ", " names)
  set(${out} "${names}" PARENT_SCOPE)
endfunction()

foreach(component IN LISTS kx_components)
  string(TOUPPER ${component} upper)
  foreach(field package section A_NEEDS A_RECOMMENDS A_DEPENDS A_ARCHITECTURE)
    get_property(${field} GLOBAL PROPERTY KX_PACKAGE_${component}_${field})
  endforeach()
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${package})
  set(CPACK_DEBIAN_${upper}_PACKAGE_SECTION ${section})
  kx_package_names(depends ${A_NEEDS})
  get_property(extra GLOBAL PROPERTY KX_DEB_DEPENDS_${component})
  list(JOIN extra ", " extra)
  foreach(more IN ITEMS "${A_DEPENDS}" "${extra}")
    if(more AND depends)
      string(APPEND depends ", ${more}")
    elseif(more)
      set(depends "${more}")
    endif()
  endforeach()
  # Defined even when empty, so no package inherits another's relations.
  set(CPACK_DEBIAN_${upper}_PACKAGE_DEPENDS "${depends}")
  kx_package_names(recommends ${A_RECOMMENDS})
  set(CPACK_DEBIAN_${upper}_PACKAGE_RECOMMENDS "${recommends}")
  if(A_ARCHITECTURE)
    set(CPACK_DEBIAN_${upper}_PACKAGE_ARCHITECTURE ${A_ARCHITECTURE})
  endif()
endforeach()

include(CPack)

# Components and the archive group; KxCPackGenerator.cmake ungroups them
# for the .deb files.
cpack_add_component_group(kxMUti DESCRIPTION "kxMUti library, headers and CMake package")
cpack_add_component(runtime GROUP kxMUti DESCRIPTION "The shared library libkxMUti.so")
cpack_add_component(development GROUP kxMUti DEPENDS runtime
                    DESCRIPTION "Headers (C and C++), pkg-config file and CMake package of kxMUti")
cpack_add_component(shell DEPENDS runtime DESCRIPTION "The example shells kxshell and kxcpp")
cpack_add_component(serve DEPENDS runtime DESCRIPTION "The serve companion libkxMUtiServe.so")
cpack_add_component(python DESCRIPTION "Python client, pytest plugin and labgrid driver")
cpack_add_component(debugstub DESCRIPTION "Stand-in for the platform debug service (PC only)")
