# `make docs` / the `docs` target: the HTML API reference from the public headers. Its build
# fails on any doxygen warning, so the test below catches a public name added without a comment.
find_package(Doxygen QUIET)
if(NOT DOXYGEN_FOUND)
  message(STATUS "API reference: doxygen not found, no docs target")
  return()
endif()

set(VEXEL_DOCS_OUT ${PROJECT_BINARY_DIR}/docs)
# The pages besides the front page: the file formats and the simulated camera's model, as far as
# the tree has them.
set(VEXEL_DOCS_PAGES "")
foreach(page docs/frame-files.md docs/recording-format.md sim/README.md)
  if(EXISTS ${PROJECT_SOURCE_DIR}/${page})
    string(APPEND VEXEL_DOCS_PAGES " ${PROJECT_SOURCE_DIR}/${page}")
  endif()
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/docs/Doxyfile.in ${VEXEL_DOCS_OUT}/Doxyfile @ONLY)
add_custom_target(docs
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${VEXEL_DOCS_OUT}/html
  COMMAND ${DOXYGEN_EXECUTABLE} ${VEXEL_DOCS_OUT}/Doxyfile
  WORKING_DIRECTORY ${VEXEL_DOCS_OUT}
  COMMENT "API reference in ${VEXEL_DOCS_OUT}/html"
  VERBATIM)

# The reference is part of the tests where it can be built: a public name without a comment
# fails them. Sanitizer trees leave it to the normal one.
if(VEXEL_BUILD_TESTS AND VEXEL_SANITIZE STREQUAL "")
  add_test(NAME docs.reference COMMAND ${CMAKE_COMMAND} --build ${PROJECT_BINARY_DIR} --target docs)
  set_tests_properties(docs.reference PROPERTIES TIMEOUT 300)
endif()
