# cmake -DSOURCE_DIR= -DWORK_DIR= -DGENERATOR= -DVERSION= -P packages.cmake
# The Debian packages as a user meets them: built from a tree configured for /usr, checked by
# lintian, unpacked into a scratch root, and used from there: the programs, the Python module and
# the examples built against the unpacked development package.
function(run what)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY ${WORK_DIR} RESULT_VARIABLE rc OUTPUT_VARIABLE out
                  ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}\n${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
  set(err "${err}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
set(pkg ${WORK_DIR}/pkg)
run("configure the package tree" ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${pkg} -G ${GENERATOR}
    -DCMAKE_INSTALL_PREFIX=/usr -DVEXEL_PACKAGE=ON -DVEXEL_BUILD_TESTS=OFF -DVEXEL_BUILD_BENCH=OFF
    -DVEXEL_BUILD_PYTHON=ON -DVEXEL_PYTHON_INSTALL_DIR=lib/python3/dist-packages)
run("build the package tree" ${CMAKE_COMMAND} --build ${pkg})
run("cpack" cpack -G DEB -B ${WORK_DIR}/debs --config ${pkg}/CPackConfig.cmake)

set(root ${WORK_DIR}/root)
foreach(name libvexel1 libvexel-dev vexel-tools python3-vexel)
  file(GLOB deb ${WORK_DIR}/debs/${name}_*.deb)
  if(NOT deb)
    message(FATAL_ERROR "no package ${name} in ${WORK_DIR}/debs")
  endif()
  run("version of ${name}" dpkg-deb -f ${deb} Version)
  string(STRIP "${out}" version)
  if(NOT version STREQUAL VERSION)
    message(FATAL_ERROR "${name} has version '${version}', the project ${VERSION}")
  endif()
  # Errors fail; warnings are reported for the reader of the test log.
  execute_process(COMMAND lintian --fail-on error --suppress-tags-from-file /dev/null ${deb}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE lint ERROR_VARIABLE lint_err)
  file(SIZE ${deb} size)
  message(STATUS "${name} ${version}: ${size} bytes; lintian: ${lint}${lint_err}")
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "lintian finds errors in ${name}:\n${lint}${lint_err}")
  endif()
  run("unpack ${name}" dpkg-deb -x ${deb} ${root})
endforeach()

# The unpacked programs and module, with the unpacked library.
execute_process(COMMAND dpkg-architecture -qDEB_HOST_MULTIARCH OUTPUT_VARIABLE multiarch
                OUTPUT_STRIP_TRAILING_WHITESPACE)
set(libdir ${root}/usr/lib/${multiarch})
if(NOT EXISTS ${libdir}/libvexel.so.1 OR NOT EXISTS ${root}/usr/lib/udev/rules.d/60-vexel.rules
   OR NOT EXISTS ${root}/usr/share/man/man1/vexel.1.gz OR NOT EXISTS ${root}/usr/share/man/man1/vexel-sim.1.gz)
  message(FATAL_ERROR "library, udev rule or manual pages missing under ${root}/usr")
endif()
set(ENV{LD_LIBRARY_PATH} ${libdir})
run("vexel --version" ${root}/usr/bin/vexel --version)
if(NOT out MATCHES "^vexel ${VERSION}\n")
  message(FATAL_ERROR "vexel --version says '${out}', the packages ${VERSION}")
endif()
set(ENV{PYTHONPATH} ${root}/usr/lib/python3/dist-packages)
# One statement a line: a semicolon would split the argument into several on its way through run().
run("python module" python3 -c "import vexel, ctypes\nlib = ctypes.CDLL('libvexel.so.1')\n\
lib.vexel_get_version.restype = ctypes.c_char_p\nprint(vexel.__version__, lib.vexel_get_version().decode())")
if(NOT out STREQUAL "${VERSION} ${VERSION}\n")
  message(FATAL_ERROR "module and library versions '${out}', the packages ${VERSION}")
endif()
unset(ENV{PYTHONPATH})

set(sim ${root}/usr/bin/vexel-sim)
run("configure the examples" ${CMAKE_COMMAND} -S ${SOURCE_DIR}/examples -B ${WORK_DIR}/examples -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${root}/usr -DCMAKE_BUILD_TYPE=Release)
run("build the examples" ${CMAKE_COMMAND} --build ${WORK_DIR}/examples)
run("C example" ${sim} -- ${WORK_DIR}/examples/example_centre_distance)
string(REGEX MATCHALL "centre [0-9.]+ m" lines "${out}")
list(LENGTH lines n)
if(NOT n EQUAL 10)
  message(FATAL_ERROR "ten centre distances expected from the example built on the packages:\n${out}")
endif()
file(REMOVE_RECURSE ${WORK_DIR})
