# Install layout, CMake package and pkg-config files of kxMUti.
#
# Layout (GNUInstallDirs): libraries in ${CMAKE_INSTALL_LIBDIR}, public
# headers in ${CMAKE_INSTALL_INCLUDEDIR}/kxMUti (consumers get that folder
# on their include path and keep writing #include "kxMUtiCmd.h"), the
# package in ${CMAKE_INSTALL_LIBDIR}/cmake/kxMUti, pkg-config files in
# ${CMAKE_INSTALL_LIBDIR}/pkgconfig, programs in ${CMAKE_INSTALL_BINDIR}.
#
# Install components:
#   runtime      libkxMUti.so
#   development  headers, kxMUti.pc, the CMake package files
#   debugstub    the debug-service stand-in libqvStbDbg.so, its test header
#                and qvStbDbg.pc.  A board build leaves it out and uses the
#                platform's own library:
#                  cmake --install <build> --component runtime
#                  cmake --install <build> --component development
#   shell        the example shells kxshell and kxcpp
#
# cmake/KxPackage.cmake makes a .deb of each component (kxmuti, kxmuti-dev,
# kxmuti-debugstub, kxmuti-shell, kxmuti-<companion>).
#
# Every installed library carries the run path $ORIGIN, so it finds the
# libraries it needs (libkxMUti.so: libqvStbDbg.so) beside it.
#
# How a companion library hooks in (in its own CMakeLists.txt):
#
#   add_library(kxMUtiConsole SHARED ...)
#   kx_install_library(kxMUtiConsole NAME console EXPORT console COMPONENT console
#                      HEADERS include/kxMUtiConsole.h)
#   kx_install_pkgconfig(kxMUtiConsole COMPONENT console LIBS -lkxMUtiConsole
#                        REQUIRES kxMUti DESCRIPTION "...")
#
# That gives the in-tree alias kxMUti::console (unless the companion made it
# already), and installs the library, its header and its targets file
# kxMUti-console-targets.cmake with the component "console", which CPack
# turns into the package kxmuti-console (its Depends: kxmuti, and libedit2
# and libc6 as computed from the library).
# kxMUtiConfig.cmake loads every such file it finds in its folder, so a
# consumer writes find_package(kxMUti CONFIG REQUIRED COMPONENTS console) and
# links kxMUti::console.  A header-only layer joins the core's set and the
# development component:
#   kx_install_library(kxMUtiCpp NAME cpp EXPORT kxMUti HEADERS include/kxMUti.hpp)

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

option(KX_INSTALL "Generate the install rules (on when this is the top-level project)"
       ${PROJECT_IS_TOP_LEVEL})

set(KX_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/kxMUti)
set(KX_INSTALL_HEADERDIR ${CMAKE_INSTALL_INCLUDEDIR}/kxMUti)

# kx_install_library(<target> EXPORT <set> [NAME <name>] [COMPONENT <component>]
#                    [HEADERS <file>...] [DEB_DEPENDS <text>])
#
# Makes a library target of the tree kxMUti::<name> (NAME defaults to the
# target's name), both in the tree (an alias) and in the installed package.
#   EXPORT     "kxMUti" for the core package: kxMUtiTargets.cmake, and the
#              headers, go with the development component.  Any other word
#              gives the set its own file, kxMUti-<set>-targets.cmake, which
#              goes with COMPONENT, as do the headers.
#   COMPONENT  the component of the library file (default: runtime).
#   HEADERS    public headers, installed into include/kxMUti.
#   DEB_DEPENDS  Debian relations the component's .deb needs that its
#              binaries do not show (a program it runs, a module it loads),
#              e.g. "python3"; the libraries it links are found by
#              dpkg-shlibdeps, and kxmuti is added by cmake/KxPackage.cmake.
function(kx_install_library target)
  cmake_parse_arguments(PARSE_ARGV 1 A "" "EXPORT;NAME;COMPONENT;DEB_DEPENDS" "HEADERS")
  if(NOT A_EXPORT)
    message(FATAL_ERROR "kx_install_library(${target}): EXPORT <set> is required")
  endif()
  if(NOT A_NAME)
    set(A_NAME ${target})
  endif()
  if(NOT A_COMPONENT)
    set(A_COMPONENT runtime)
  endif()
  set(dev_component ${A_COMPONENT})
  if(A_EXPORT STREQUAL "kxMUti")
    set(dev_component development)
  endif()

  set_target_properties(${target} PROPERTIES EXPORT_NAME ${A_NAME})
  if(NOT TARGET kxMUti::${A_NAME})
    add_library(kxMUti::${A_NAME} ALIAS ${target})
  endif()
  target_include_directories(${target} INTERFACE $<INSTALL_INTERFACE:${KX_INSTALL_HEADERDIR}>)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "SHARED_LIBRARY")
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN")
  endif()
  if(NOT KX_INSTALL)
    return()
  endif()

  if(A_DEB_DEPENDS)
    set_property(GLOBAL PROPERTY KX_DEB_DEPENDS_${A_COMPONENT} "${A_DEB_DEPENDS}")
  endif()
  install(TARGETS ${target} EXPORT kxMUti-${A_EXPORT}
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT ${A_COMPONENT}
          ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT ${dev_component})
  if(A_HEADERS)
    install(FILES ${A_HEADERS} DESTINATION ${KX_INSTALL_HEADERDIR} COMPONENT ${dev_component})
  endif()

  # One install(EXPORT) per set; the set's contents are read at generate
  # time, so targets added to it later are still written.
  get_property(done GLOBAL PROPERTY KX_EXPORT_SETS)
  if(A_EXPORT IN_LIST done)
    return()
  endif()
  set_property(GLOBAL APPEND PROPERTY KX_EXPORT_SETS ${A_EXPORT})
  set(file kxMUti-${A_EXPORT}-targets.cmake)
  if(A_EXPORT STREQUAL "kxMUti")
    set(file kxMUtiTargets.cmake)
  endif()
  install(EXPORT kxMUti-${A_EXPORT} FILE ${file} NAMESPACE kxMUti::
          DESTINATION ${KX_INSTALL_CMAKEDIR} COMPONENT ${dev_component})
endfunction()

# kx_install_pkgconfig(<name> COMPONENT <component> DESCRIPTION <text>
#                      LIBS <flags>... [LIBS_PRIVATE <flags>...]
#                      [REQUIRES <module>...])
#
# Writes and installs <name>.pc.  Its prefix is found from the file's own
# place (${pcfiledir}), so an unpacked archive or a copied tree works where
# it lands; this takes CMAKE_INSTALL_LIBDIR and CMAKE_INSTALL_INCLUDEDIR to
# be relative, as GNUInstallDirs makes them.  Cflags add include/kxMUti.
function(kx_install_pkgconfig name)
  cmake_parse_arguments(PARSE_ARGV 1 A "" "COMPONENT;DESCRIPTION" "LIBS;LIBS_PRIVATE;REQUIRES")
  if(NOT KX_INSTALL)
    return()
  endif()
  set(pcdir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
  # From <prefix>/<pcdir> back to <prefix>: one ".." per folder.
  string(REGEX REPLACE "[^/]+" ".." up "${pcdir}")
  list(JOIN A_LIBS " " KX_PC_LIBS)
  list(JOIN A_LIBS_PRIVATE " " KX_PC_LIBS_PRIVATE)
  list(JOIN A_REQUIRES " " KX_PC_REQUIRES)
  set(KX_PC_NAME ${name})
  set(KX_PC_DESCRIPTION "${A_DESCRIPTION}")
  set(KX_PC_PREFIX "\${pcfiledir}/${up}")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/pkg.pc.in ${PROJECT_BINARY_DIR}/pkgconfig/${name}.pc
                 @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/pkgconfig/${name}.pc DESTINATION ${pcdir}
          COMPONENT ${A_COMPONENT})
endfunction()

# kx_install_package(): the package configuration and version files.  Call
# once, from the top-level CMakeLists.txt after the libraries.
function(kx_install_package)
  if(NOT KX_INSTALL)
    return()
  endif()
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/kxMUtiConfig.cmake.in
                                ${PROJECT_BINARY_DIR}/kxMUtiConfig.cmake
                                INSTALL_DESTINATION ${KX_INSTALL_CMAKEDIR})
  # 0.x releases: only the same minor version is compatible.
  write_basic_package_version_file(${PROJECT_BINARY_DIR}/kxMUtiConfigVersion.cmake
                                   COMPATIBILITY SameMinorVersion)
  install(FILES ${PROJECT_BINARY_DIR}/kxMUtiConfig.cmake
                ${PROJECT_BINARY_DIR}/kxMUtiConfigVersion.cmake
          DESTINATION ${KX_INSTALL_CMAKEDIR} COMPONENT development)
endfunction()
