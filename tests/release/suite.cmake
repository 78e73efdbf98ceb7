# The release tool (vornquill-release) end to end.
add_test(NAME release.tool
  COMMAND ${CMAKE_SOURCE_DIR}/tests/release/tool-test.sh
          ${CMAKE_BINARY_DIR}/vornquill-release ${CMAKE_SOURCE_DIR})
set_tests_properties(release.tool PROPERTIES TIMEOUT 120)
add_test(NAME release.check
  COMMAND python3 ${CMAKE_SOURCE_DIR}/tests/release/test_check.py ${CMAKE_BINARY_DIR}/vornquill-release)
set_tests_properties(release.check PROPERTIES TIMEOUT 300 LABELS cloud)
