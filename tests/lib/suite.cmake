# The test command's own verdict: a run with a skipped or not-run test fails.
add_test(NAME lib.ctest-verdict COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/ctest-verdict-test.sh)
set_tests_properties(lib.ctest-verdict PROPERTIES TIMEOUT 60)
