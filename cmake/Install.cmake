# cmake --install puts two components in place:
#   tool: bin/nightdehaze, its video module (lib/nightdehaze/nightdehaze-video.so)
#         and its manual page (the Debian package holds these);
#   dev:  the static library, include/nightdehaze/nightdehaze.hpp and the
#         CMake package, so that find_package(nightdehaze) gives the target
#         nightdehaze::nightdehaze with its OpenCV dependency.
include(CMakePackageConfigHelpers)

set(NIGHTDEHAZE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/nightdehaze)

install(TARGETS nightdehaze RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)
install(TARGETS nightdehaze_video LIBRARY DESTINATION ${NIGHTDEHAZE_VIDEO_MODULE_DIR} COMPONENT tool)

# Installed manual pages are compressed, without a time stamp so that the
# package is the same from one build to the next.
find_program(NIGHTDEHAZE_GZIP gzip REQUIRED)
set(NIGHTDEHAZE_MAN_PAGE ${CMAKE_CURRENT_SOURCE_DIR}/docs/nightdehaze.1)
set(NIGHTDEHAZE_MAN_PAGE_GZ ${CMAKE_CURRENT_BINARY_DIR}/nightdehaze.1.gz)
add_custom_command(
  OUTPUT ${NIGHTDEHAZE_MAN_PAGE_GZ}
  COMMAND sh -c "'${NIGHTDEHAZE_GZIP}' -9 -n -c '${NIGHTDEHAZE_MAN_PAGE}' > '${NIGHTDEHAZE_MAN_PAGE_GZ}'"
  DEPENDS ${NIGHTDEHAZE_MAN_PAGE}
  COMMENT "Compressing the manual page"
  VERBATIM)
add_custom_target(nightdehaze_man_page ALL DEPENDS ${NIGHTDEHAZE_MAN_PAGE_GZ})
install(FILES ${NIGHTDEHAZE_MAN_PAGE_GZ}
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tool)

install(TARGETS nightdehaze_lib EXPORT nightdehazeTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
install(FILES include/nightdehaze/nightdehaze.hpp
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/nightdehaze COMPONENT dev)
install(EXPORT nightdehazeTargets NAMESPACE nightdehaze::
        DESTINATION ${NIGHTDEHAZE_CMAKE_DIR} COMPONENT dev)

configure_package_config_file(cmake/nightdehazeConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/nightdehazeConfig.cmake
  INSTALL_DESTINATION ${NIGHTDEHAZE_CMAKE_DIR})
# Before 1.0 a minor release may change the interface.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/nightdehazeConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/nightdehazeConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/nightdehazeConfigVersion.cmake
        DESTINATION ${NIGHTDEHAZE_CMAKE_DIR} COMPONENT dev)
