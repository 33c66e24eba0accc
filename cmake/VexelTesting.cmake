include(GoogleTest)
find_package(GTest REQUIRED)

# vexel_add_test_suite(NAME [SIM] SOURCES src... [LIBS lib...] [ENV VAR=value...] [PROPERTIES ...])
# One GoogleTest executable, each test case registered with CTest. SIM: the suite runs against
# the simulated camera, linked with vexel_sim and with a main() that restarts the process under
# the umockdev preload, so the plain ctest entries work in the normal and sanitizer trees;
# without the simulated camera (VEXEL_BUILD_SIM=OFF) such a suite is skipped.
function(vexel_add_test_suite name)
  cmake_parse_arguments(A "SIM" "" "SOURCES;LIBS;ENV;PROPERTIES" ${ARGN})
  if(A_SIM AND NOT TARGET vexel_sim)
    message(STATUS "${name}: needs the simulated camera (VEXEL_BUILD_SIM=OFF), skipped")
    return()
  endif()
  if(A_SIM)
    add_executable(${name} ${A_SOURCES} ${PROJECT_SOURCE_DIR}/sim/gtest_main.cpp)
    target_link_libraries(${name} PRIVATE vexel_sim vexel_static ${A_LIBS} GTest::gtest GTest::gmock)
  else()
    add_executable(${name} ${A_SOURCES})
    target_link_libraries(${name} PRIVATE vexel_static ${A_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
  endif()
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
  vexel_apply_flags(${name})
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 120
    PROPERTIES ENVIRONMENT "${A_ENV}" TIMEOUT 300 ${A_PROPERTIES})
endfunction()
