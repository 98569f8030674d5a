# SPDX-License-Identifier: Apache-2.0
# Debian packages by CPack (`cpack -G DEB` in a build configured with
# -DCMAKE_INSTALL_PREFIX=/usr), one per install component:
#   libhistfeed<SOVERSION>  the shared library, named after its SONAME
#   libhistfeed-dev         headers, link name, CMake and pkg-config files,
#                           examples and documents
#   histfeed-service        the reference service with its systemd unit
set(HISTFEED_RUNTIME_PACKAGE libhistfeed${PROJECT_VERSION_MAJOR})

set(CPACK_PACKAGE_NAME histfeed)
set(CPACK_PACKAGE_VENDOR "histfeed")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Delivers process values, point configurations and deletions to a process historian")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Installs into the staging tree through DESTDIR, so the install rules see
# the real prefix: histfeed.pc is written with it, and /etc/default lands in
# the package's /etc.
set(CPACK_SET_DESTDIR ON)
set(CPACK_GENERATOR DEB)
set(CPACK_COMPONENTS_ALL runtime dev service)
if(NOT TARGET histfeed-service)
  list(REMOVE_ITEM CPACK_COMPONENTS_ALL service)
endif()

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "histfeed maintainers <maintainers@histfeed.invalid>")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Library dependencies of each package's binaries, from dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${HISTFEED_RUNTIME_PACKAGE})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# A shlibs file, and the ldconfig trigger that goes with it.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
  "histfeed shared library\nThe library a data-collecting application loads to deliver values,\npoint configurations and deletions to a process historian service.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libhistfeed-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# The link name and the headers belong to exactly this library version.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${HISTFEED_RUNTIME_PACKAGE} (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_DEV_DESCRIPTION
  "histfeed development files\nThe C header, the plug-in header, the CMake package and pkg-config files,\nthe example sources and the documentation of histfeed's formats.")

set(CPACK_DEBIAN_SERVICE_PACKAGE_NAME histfeed-service)
set(CPACK_DEBIAN_SERVICE_PACKAGE_SECTION net)
set(CPACK_DEBIAN_SERVICE_DESCRIPTION
  "histfeed reference historian service\nStores what histfeed sources deliver in an SQLite database; runs as a\nsystemd service (histfeed-service.service).")
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/packaging/conffiles
  ${PROJECT_SOURCE_DIR}/packaging/postinst
  ${PROJECT_SOURCE_DIR}/packaging/prerm
  ${PROJECT_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Debian puts each package's license at /usr/share/doc/<package>/copyright;
# only a system install (the packages' prefix) gets these copies.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  foreach(component IN LISTS CPACK_COMPONENTS_ALL)
    string(TOUPPER ${component} upper)
    install(FILES ${PROJECT_SOURCE_DIR}/LICENSE
      DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME}
      RENAME copyright COMPONENT ${component})
  endforeach()
endif()

include(CPack)
