# What `cmake --install` puts under the prefix: the library, its headers, a CMake package
# (find_package(vexel) gives vexel::vexel), a pkg-config file and the udev rule for the camera.
include(CMakePackageConfigHelpers)
# Programs are what a subsystem adds most often; whatever names no component goes with them.
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME tools)

set(VEXEL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vexel)
set(VEXEL_UDEV_RULES_DIR "lib/udev/rules.d" CACHE PATH
    "Where the camera's udev rule goes (relative to the prefix, or absolute such as /lib/udev/rules.d)")

install(TARGETS vexel EXPORT vexelTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT devel)
install(DIRECTORY include/vexel DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT devel)
install(EXPORT vexelTargets NAMESPACE vexel:: DESTINATION ${VEXEL_CMAKE_DIR} COMPONENT devel)

configure_package_config_file(${PROJECT_SOURCE_DIR}/packaging/vexelConfig.cmake.in
  ${PROJECT_BINARY_DIR}/vexelConfig.cmake INSTALL_DESTINATION ${VEXEL_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/vexelConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/vexelConfig.cmake ${PROJECT_BINARY_DIR}/vexelConfigVersion.cmake
  DESTINATION ${VEXEL_CMAKE_DIR} COMPONENT devel)

# The prefix is found from the file's own place, so an install with `cmake --install --prefix`
# elsewhere than the configured prefix still points at its own library and headers.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(VEXEL_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(VEXEL_PC_LIBDIR "${CMAKE_INSTALL_FULL_LIBDIR}")
  set(VEXEL_PC_INCLUDEDIR "${CMAKE_INSTALL_FULL_INCLUDEDIR}")
else()
  file(RELATIVE_PATH pc_up "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
  string(REGEX REPLACE "/$" "" pc_up "${pc_up}")
  set(VEXEL_PC_PREFIX "\${pcfiledir}/${pc_up}")
  set(VEXEL_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
  set(VEXEL_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${PROJECT_SOURCE_DIR}/packaging/vexel.pc.in ${PROJECT_BINARY_DIR}/vexel.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vexel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT devel)

install(FILES ${PROJECT_SOURCE_DIR}/packaging/60-vexel.rules DESTINATION ${VEXEL_UDEV_RULES_DIR} COMPONENT runtime)
