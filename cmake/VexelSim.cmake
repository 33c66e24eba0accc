# vexel_add_sim_test_suite(NAME SOURCES src... [LIBS lib...] [ENV VAR=value...] [PROPERTIES ...])
# A GoogleTest suite that runs against the simulated camera: linked with vexel_static and
# vexel_sim, with a main() that restarts the process under the umockdev preload, so the plain
# ctest entries work in the normal and sanitizer trees.
include(GoogleTest)
find_package(GTest REQUIRED)

function(vexel_add_sim_test_suite name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS;ENV;PROPERTIES" ${ARGN})
  add_executable(${name} ${A_SOURCES} ${PROJECT_SOURCE_DIR}/sim/gtest_main.cpp)
  target_link_libraries(${name} PRIVATE vexel_sim vexel_static ${A_LIBS} GTest::gtest GTest::gmock)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
  vexel_apply_flags(${name})
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 120
    PROPERTIES ENVIRONMENT "${A_ENV}" TIMEOUT 300 ${A_PROPERTIES})
endfunction()
