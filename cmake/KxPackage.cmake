# Packages of the install components, for the machine the build targets
# (the host, or the set-top box from the mipsel preset):
#
#   cpack --preset default        build/default/packages/
#   cpack --preset mipsel         build/mipsel/packages/
#
# Each generator (TGZ, DEB) makes one package per group:
#   kxmuti            runtime + development: libkxMUti.so, the headers
#                     (C and C++), kxMUti.pc, the CMake package
#   kxmuti-console    the console companion libkxMUtiConsole.so, its header,
#                     kxMUtiConsole.pc and CMake targets (component console)
#   kxmuti-shell      the example shells kxshell and kxcpp (component shell)
#   kxmuti-serve      the serve companion libkxMUtiServe.so, its header, .pc and
#                     CMake targets (component serve)
#   kxmuti-debugstub  the debug-service stand-in (component debugstub):
#                     install it on a PC; a board has its own libqvStbDbg.so
# A component of no group (a companion's, like "console") gets a package of
# its own, kxmuti-<component>, that depends on kxmuti: nothing to add here.
#
# The .deb files install under /usr; the archives unpack anywhere (the run
# paths and the .pc and CMake files are relative to where they land).

if(NOT KX_INSTALL)
  return()
endif()

set(CPACK_PACKAGE_NAME kxMUti)
set(CPACK_PACKAGE_VENDOR "kxMUti")
set(CPACK_PACKAGE_CONTACT "kxMUti maintainers <kxmuti@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Line-oriented command interpreter library for test and bring-up programs")
set(CPACK_GENERATOR TGZ DEB)
set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-Linux-${CMAKE_SYSTEM_PROCESSOR})
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)

# The archive of the main group carries the plain name; the others get
# their group's (or component's) name appended.
set(CPACK_ARCHIVE_KXMUTI_FILE_NAME ${CPACK_PACKAGE_FILE_NAME})

set(CPACK_DEBIAN_PACKAGE_NAME kxmuti)
set(CPACK_DEBIAN_KXMUTI_PACKAGE_NAME kxmuti)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6")
# On a PC the library needs the stand-in; a board brings its own service,
# so this is a recommendation (apt follows it, dpkg -i does not).
set(CPACK_DEBIAN_KXMUTI_PACKAGE_RECOMMENDS "kxmuti-debugstub")
# Every other component (a companion's) needs the library of this version,
# and what kx_install_library(... DEB_DEPENDS) says.
get_cmake_property(kx_components COMPONENTS)
list(REMOVE_ITEM kx_components runtime development debugstub)
# The shell is linked with the console and the serve companion.
set_property(GLOBAL APPEND_STRING PROPERTY KX_DEB_DEPENDS_shell
             "kxmuti-console (= ${PROJECT_VERSION}), kxmuti-serve (= ${PROJECT_VERSION})")
foreach(component IN LISTS kx_components)
  string(TOUPPER ${component} upper)
  get_property(extra GLOBAL PROPERTY KX_DEB_DEPENDS_${component})
  set(CPACK_DEBIAN_${upper}_PACKAGE_DEPENDS "kxmuti (= ${PROJECT_VERSION}), libc6")
  if(extra)
    string(APPEND CPACK_DEBIAN_${upper}_PACKAGE_DEPENDS ", ${extra}")
  endif()
endforeach()
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL "mipsel")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE mipsel)
endif()

include(CPack)

cpack_add_component_group(kxMUti DESCRIPTION "kxMUti library, headers and CMake package")
cpack_add_component(runtime GROUP kxMUti DESCRIPTION "libkxMUti.so")
cpack_add_component(development GROUP kxMUti DEPENDS runtime
                    DESCRIPTION "Headers, pkg-config file and CMake package")
cpack_add_component(shell DEPENDS runtime DESCRIPTION "The example shells kxshell and kxcpp")
cpack_add_component(debugstub DESCRIPTION "Stand-in for the platform debug service (PC only)")
