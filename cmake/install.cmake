# SPDX-License-Identifier: MIT
# Install rules and package files for the devtcp library; included from devtcp/CMakeLists.txt.
#
# `cmake --install` puts the static library, the public header (internal headers stay out),
# a CMake package (find_package(devtcp CONFIG) gives the imported target devtcp::devtcp,
# with a version file) and a pkg-config file (devtcp.pc) under the prefix;
# devtcp_install_port() adds each socket table of ports/ to the same package
# (devtcp::posix, ..., with its header and a devtcp-NAME.pc).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# On by default for a build of this project itself; off when another project takes the
# library in with add_subdirectory or FetchContent, unless it asks for it.
if(CMAKE_SOURCE_DIR STREQUAL devtcp_SOURCE_DIR)
  set(_devtcp_install_default ON)
else()
  set(_devtcp_install_default OFF)
endif()
option(DEVTCP_INSTALL "Generate the install rules of the devtcp library" ${_devtcp_install_default})

# The header's version macros and the project's version must not drift apart.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/../devtcp/include/xr_dev_tcp.h _devtcp_version_line
     REGEX "^#define XR_DEV_TCP_VERSION \"[0-9.]+\"")
string(REGEX REPLACE ".*\"([0-9.]+)\".*" "\\1" _devtcp_header_version "${_devtcp_version_line}")
if(NOT _devtcp_header_version STREQUAL devtcp_VERSION)
  message(FATAL_ERROR "XR_DEV_TCP_VERSION in xr_dev_tcp.h is \"${_devtcp_header_version}\", "
                      "the project's version is ${devtcp_VERSION}: make them equal")
endif()

# The .pc files find their prefix from their own place (${pcfiledir}), so an installed
# tree stays usable after `cmake --install --prefix` elsewhere or after it is moved.
macro(devtcp_pc_dirs)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
    set(DEVTCP_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
    set(DEVTCP_PC_LIBDIR "${CMAKE_INSTALL_FULL_LIBDIR}")
    set(DEVTCP_PC_INCLUDEDIR "${CMAKE_INSTALL_FULL_INCLUDEDIR}")
  else()
    file(RELATIVE_PATH _devtcp_pc_up /_/${CMAKE_INSTALL_LIBDIR}/pkgconfig /_)
    string(REGEX REPLACE "/$" "" _devtcp_pc_up "${_devtcp_pc_up}")
    set(DEVTCP_PC_PREFIX "\${pcfiledir}/${_devtcp_pc_up}")
    set(DEVTCP_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
    set(DEVTCP_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
  endif()
endmacro()

# Installs a socket-table port (ports/) into the same CMake package, as devtcp::NAME, with
# its header and a devtcp-NAME.pc that names the @p stack, requires devtcp and
# @p pc_requires, and adds @p pc_libs to the link line. Called from ports/CMakeLists.txt.
function(devtcp_install_port name stack pc_requires pc_libs)
  if(NOT DEVTCP_INSTALL)
    return()
  endif()
  include(GNUInstallDirs)
  install(TARGETS devtcp_${name}
    EXPORT devtcpTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
    PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  devtcp_pc_dirs()
  set(DEVTCP_PORT ${name})
  set(DEVTCP_PORT_STACK ${stack})
  set(DEVTCP_PORT_REQUIRES ${pc_requires})
  set(DEVTCP_PORT_LIBS ${pc_libs})
  configure_file(${devtcp_SOURCE_DIR}/cmake/devtcp-port.pc.in
                 ${CMAKE_CURRENT_BINARY_DIR}/devtcp-${name}.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/devtcp-${name}.pc
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endfunction()

if(NOT DEVTCP_INSTALL)
  return()
endif()

set(DEVTCP_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/devtcp
    CACHE STRING "Where the CMake package files of devtcp are installed, below the prefix")

set_target_properties(devtcp PROPERTIES PUBLIC_HEADER ${CMAKE_CURRENT_LIST_DIR}/../devtcp/include/xr_dev_tcp.h)
install(TARGETS devtcp
  EXPORT devtcpTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT devtcpTargets
  NAMESPACE devtcp::
  DESTINATION ${DEVTCP_INSTALL_CMAKEDIR})

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/devtcpConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/devtcpConfig.cmake
  INSTALL_DESTINATION ${DEVTCP_INSTALL_CMAKEDIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/devtcpConfigVersion.cmake
  VERSION ${devtcp_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/devtcpConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/devtcpConfigVersion.cmake
        DESTINATION ${DEVTCP_INSTALL_CMAKEDIR})

devtcp_pc_dirs()
# The licence and the changelog travel with the package.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/../LICENSE ${CMAKE_CURRENT_LIST_DIR}/../CHANGELOG.md
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/devtcp)

list(TRANSFORM DEVTCP_CONFIG_DEFINITIONS PREPEND -D OUTPUT_VARIABLE _devtcp_pc_defs)
list(JOIN _devtcp_pc_defs " " DEVTCP_PC_DEFINES)
configure_file(${CMAKE_CURRENT_LIST_DIR}/devtcp.pc.in ${CMAKE_CURRENT_BINARY_DIR}/devtcp.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/devtcp.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
