# Install rules: the shared library, the public header, a pkg-config file and
# a CMake package (find_package(marovel_audio) -> marovel_audio::marovel_audio).
# Both descriptions locate the prefix relative to themselves, so an installed
# tree can be moved or installed with `cmake --install --prefix`.
include(CMakePackageConfigHelpers)

set(MV_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/marovel_audio)
set(MV_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(TARGETS marovel_audio EXPORT marovel_audioTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/marovel_audio.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(EXPORT marovel_audioTargets NAMESPACE marovel_audio::
        DESTINATION ${MV_CMAKE_PACKAGE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/marovel_audioConfig.cmake.in
  ${PROJECT_BINARY_DIR}/marovel_audioConfig.cmake INSTALL_DESTINATION ${MV_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/marovel_audioConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/marovel_audioConfig.cmake
              ${PROJECT_BINARY_DIR}/marovel_audioConfigVersion.cmake
        DESTINATION ${MV_CMAKE_PACKAGE_DIR})

# Path from the .pc file's folder back up to the prefix, e.g. "../..".
file(RELATIVE_PATH MV_PC_PREFIX_FROM_PCDIR /prefix/${MV_PKGCONFIG_DIR} /prefix)
string(REGEX REPLACE "/$" "" MV_PC_PREFIX_FROM_PCDIR "${MV_PC_PREFIX_FROM_PCDIR}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/marovel_audio.pc.in
               ${PROJECT_BINARY_DIR}/marovel_audio.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/marovel_audio.pc DESTINATION ${MV_PKGCONFIG_DIR})
