include(GoogleTest)
find_package(GTest REQUIRED)

# vexel_add_test_suite(NAME SOURCES src... [LIBS lib...] [ENV VAR=value...])
# One GoogleTest executable per subsystem, each test case registered with CTest.
function(vexel_add_test_suite name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS;ENV;PROPERTIES" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE vexel_static ${A_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
  vexel_apply_flags(${name})
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 120
    PROPERTIES ENVIRONMENT "${A_ENV}" TIMEOUT 300 ${A_PROPERTIES})
endfunction()
