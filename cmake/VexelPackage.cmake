# Debian packages through `cpack -G DEB` in a tree configured with -DVEXEL_PACKAGE=ON and
# -DCMAKE_INSTALL_PREFIX=/usr:
#   libvexel1      the library and the camera's udev rule
#   libvexel-dev   headers, CMake package, pkg-config file
#   vexel-tools    the vexel and vexel-sim programs and their manual pages
#   python3-vexel  the Python module
set(VEXEL_DEB_MAINTAINER "libvexel developers <developers@example.org>" CACHE STRING "Maintainer field of the packages")

# Debian wants a copyright file and a compressed changelog in each package's doc directory.
set(vexel_deb_doc ${PROJECT_BINARY_DIR}/debian-doc)
string(TIMESTAMP vexel_deb_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  string(TIMESTAMP vexel_deb_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
endif()
set(vexel_deb_packages runtime libvexel1 devel libvexel-dev tools vexel-tools python python3-vexel)
find_program(VEXEL_GZIP gzip)
while(vexel_deb_packages)
  list(POP_FRONT vexel_deb_packages component package)
  set(dir ${vexel_deb_doc}/${package})
  file(MAKE_DIRECTORY ${dir})
  file(WRITE ${dir}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: libvexel

Files: *
Copyright: the libvexel developers
License: MIT
")
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
  string(REGEX REPLACE "\n\n" "\n.\n" license "${license}")
  string(REGEX REPLACE "\n([^\n])" "\n \\1" license "\n${license}")
  file(APPEND ${dir}/copyright "${license}\n")
  file(WRITE ${dir}/changelog
"${package} (${PROJECT_VERSION}) unstable; urgency=medium

  * Release ${PROJECT_VERSION}; the project's CHANGELOG.md says what changed.

 -- ${VEXEL_DEB_MAINTAINER}  ${vexel_deb_date}
")
  if(VEXEL_GZIP)
    execute_process(COMMAND ${VEXEL_GZIP} -9nf ${dir}/changelog)
    install(FILES ${dir}/changelog.gz DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
            COMPONENT ${component})
  endif()
  install(FILES ${dir}/copyright DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
endwhile()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vexel)
set(CPACK_PACKAGE_VENDOR "libvexel developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${VEXEL_DEB_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime devel tools python)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${VEXEL_DEB_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://localhost/libvexel")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Dependencies on Debian's libraries come from the binaries themselves; our own library, which
# the packages that use it name with its exact version, is found where the build left it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libvexel1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst ${PROJECT_SOURCE_DIR}/packaging/debian/triggers)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "host library of the USB time-of-flight depth camera
libvexel lists and opens the camera over libusb, streams its raw
four-phase frames and decodes them into distance and amplitude images
with the camera's own calibration; it filters, undistorts, builds point
clouds and saves frames. This package holds the shared library and the
udev rule that lets the logged-in user open the camera.")

set(CPACK_DEBIAN_DEVEL_PACKAGE_NAME libvexel-dev)
set(CPACK_DEBIAN_DEVEL_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVEL_PACKAGE_DEPENDS "libvexel1 (= ${PROJECT_VERSION}), libusb-1.0-0-dev, libzip-dev")
set(CPACK_DEBIAN_DEVEL_PACKAGE_SHLIBDEPS OFF)
set(CPACK_COMPONENT_DEVEL_DESCRIPTION "development files of the time-of-flight camera library
Headers of libvexel's C interface and its header-only C++20 layer, the
CMake package (find_package(vexel)) and the pkg-config file.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME vexel-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libvexel1 (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "programs for the USB time-of-flight depth camera
vexel lists cameras, shows their settings, captures depth and amplitude
images, point clouds and frame files, compares captures and moves
firmware and data. vexel-sim runs any program against simulated cameras,
with ground truth for every frame.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-vexel)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
# The module is built for one interpreter's ABI: the package holds to that minor version.
set(vexel_py_depends "python3")
if(Python3_EXECUTABLE)
  execute_process(COMMAND ${Python3_EXECUTABLE} -c "import sys; print('%d.%d;%d.%d' % (sys.version_info[0], sys.version_info[1], sys.version_info[0], sys.version_info[1] + 1))"
                  OUTPUT_VARIABLE py_range OUTPUT_STRIP_TRAILING_WHITESPACE)
  list(GET py_range 0 py_low)
  list(GET py_range 1 py_high)
  set(vexel_py_depends "python3 (>= ${py_low}), python3 (<< ${py_high})")
endif()
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "libvexel1 (= ${PROJECT_VERSION}), ${vexel_py_depends}, python3-numpy")
set(CPACK_COMPONENT_PYTHON_DESCRIPTION "Python module of the time-of-flight camera library
The vexel module opens cameras, captures frames and hands decoded
distance and amplitude images and point clouds to Python as numpy
arrays.")

include(CPack)
