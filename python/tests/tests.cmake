# The module's pytest suite: the camera tests under vexel-sim (a wall at 2 m, whose true
# distances it writes as a frame file), the others without any camera.
execute_process(COMMAND ${Python3_EXECUTABLE} -c "import pytest" RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
if(NOT rc EQUAL 0)
  message(STATUS "Python module: no pytest for ${Python3_EXECUTABLE}, its tests are not registered")
  return()
endif()

# This folder is added before the top level enables testing.
enable_testing()
set(pytest ${Python3_EXECUTABLE} -m pytest -p no:cacheprovider ${CMAKE_CURRENT_SOURCE_DIR}/tests)
# Calibration that no test gives a directory for goes to a cache of the build tree's own.
set(env PYTHONPATH=${CMAKE_CURRENT_BINARY_DIR} PYTHONDONTWRITEBYTECODE=1 XDG_CACHE_HOME=${CMAKE_CURRENT_BINARY_DIR}/test-cache)
foreach(run camera nocamera)
  file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/test-${run})
endforeach()
set(truth ${CMAKE_CURRENT_BINARY_DIR}/test-camera/truth.vxd)
# --clean: the module's checks state the exact instrument's accuracy; the real sensor's effects
# are checked against the decode in the C++ suites.

add_test(NAME python.camera
  COMMAND $<TARGET_FILE:vexel-sim> --scene wall:2 --clean --truth ${truth} -- ${pytest} -m camera
  WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/test-camera)
set_tests_properties(python.camera PROPERTIES ENVIRONMENT "${env};VEXEL_TEST_TRUTH=${truth}" TIMEOUT 600)
add_test(NAME python.nocamera COMMAND ${pytest} -m "not camera"
  WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/test-nocamera)
set_tests_properties(python.nocamera PROPERTIES ENVIRONMENT "${env}" TIMEOUT 300)
