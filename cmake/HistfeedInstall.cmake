# SPDX-License-Identifier: Apache-2.0
# What `cmake --install` puts where, in three components that the Debian
# packages follow (cmake/HistfeedPackaging.cmake):
#   runtime  the shared library (libhistfeed.so.0 and its versioned file)
#   dev      headers, the unversioned link name, the CMake package and
#            pkg-config files, the example sources and the documentation
#   service  histfeed-service, its manual page, systemd unit and settings,
#            and histfeed-cache with its manual page
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(HISTFEED_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/histfeed)
set(HISTFEED_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/histfeed)

# The Windows build's import library (histfeed.lib) is an ARCHIVE artifact:
# the ARCHIVE line below already sends it to the dev component, so the -dev
# package carries it once that build exists. The DLL itself is RUNTIME.
install(TARGETS histfeed EXPORT histfeedTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
install(FILES ${PROJECT_SOURCE_DIR}/include/histfeed.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
# The plug-in header goes beside the public header, under the project's
# own folder: #include <histfeed/tarvo_plugin.h>.
install(FILES ${PROJECT_SOURCE_DIR}/include/histfeed/tarvo_plugin.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/histfeed COMPONENT dev)

# find_package(histfeed 0.2 CONFIG REQUIRED) -> histfeed::histfeed.
install(EXPORT histfeedTargets NAMESPACE histfeed::
  DESTINATION ${HISTFEED_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/histfeedConfig.cmake.in
  ${PROJECT_BINARY_DIR}/histfeedConfig.cmake
  INSTALL_DESTINATION ${HISTFEED_CMAKE_DIR})
# Until 1.0 a minor release may change the interface; SameMajorVersion
# still says what a 0.x consumer may expect of a later 0.y.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/histfeedConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/histfeedConfig.cmake
  ${PROJECT_BINARY_DIR}/histfeedConfigVersion.cmake
  DESTINATION ${HISTFEED_CMAKE_DIR} COMPONENT dev)

# histfeed.pc names the prefix it was installed under, which is only known
# at install time (`cmake --install --prefix`, or CPack's staging), so it is
# written then.
configure_file(${PROJECT_SOURCE_DIR}/cmake/histfeed.pc.in
  ${PROJECT_BINARY_DIR}/histfeed.pc.in @ONLY)
install(CODE "
  file(READ \"${PROJECT_BINARY_DIR}/histfeed.pc.in\" pc_text)
  string(REPLACE \"%PREFIX%\" \"\${CMAKE_INSTALL_PREFIX}\" pc_text \"\${pc_text}\")
  file(WRITE \"${PROJECT_BINARY_DIR}/pc/histfeed.pc\" \"\${pc_text}\")
  file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig\"
       TYPE FILE FILES \"${PROJECT_BINARY_DIR}/pc/histfeed.pc\")
" COMPONENT dev)

install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/CHANGELOG.md
  ${PROJECT_SOURCE_DIR}/LICENSE
  DESTINATION ${HISTFEED_DOC_DIR} COMPONENT dev)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${HISTFEED_DOC_DIR}
  COMPONENT dev FILES_MATCHING PATTERN "*.md")
install(FILES ${PROJECT_SOURCE_DIR}/examples/feed_demo.c
  DESTINATION ${HISTFEED_DOC_DIR}/examples COMPONENT dev)

if(TARGET histfeed-service)
  install(TARGETS histfeed-service RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT service)
  install(FILES ${PROJECT_BINARY_DIR}/docs/histfeed-service.1
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT service)
  # The cache tool reads frames with the service's code and comes with it.
  if(TARGET histfeed-cache)
    install(TARGETS histfeed-cache RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT service)
    install(FILES ${PROJECT_BINARY_DIR}/docs/histfeed-cache.1
      DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT service)
  endif()
  # A system install (prefix /usr, as the packages use) puts the settings
  # under /etc; any other prefix keeps them inside the prefix.
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(HISTFEED_SETTINGS_DIR /etc/default)
  else()
    set(HISTFEED_SETTINGS_DIR ${CMAKE_INSTALL_SYSCONFDIR}/default)
  endif()
  set(HISTFEED_SETTINGS_FILE ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/histfeed-service)
  set(HISTFEED_SERVICE_BINARY ${CMAKE_INSTALL_FULL_BINDIR}/histfeed-service)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/histfeed-service.service.in
    ${PROJECT_BINARY_DIR}/packaging/histfeed-service.service @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/histfeed-service.service
    DESTINATION lib/systemd/system COMPONENT service)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/histfeed-service.default
    DESTINATION ${HISTFEED_SETTINGS_DIR} RENAME histfeed-service COMPONENT service)
endif()
