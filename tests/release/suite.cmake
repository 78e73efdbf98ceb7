# The release tool (vornquill-release) end to end.
add_test(NAME release.tool
  COMMAND ${CMAKE_SOURCE_DIR}/tests/release/tool-test.sh
          ${CMAKE_BINARY_DIR}/vornquill-release ${CMAKE_SOURCE_DIR})
set_tests_properties(release.tool PROPERTIES TIMEOUT 120)
