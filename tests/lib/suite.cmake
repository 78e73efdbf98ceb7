# The test command's own verdict: a run with a skipped or not-run test fails.
add_test(NAME lib.ctest-verdict COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/ctest-verdict-test.sh)
set_tests_properties(lib.ctest-verdict PROPERTIES TIMEOUT 60)
# What each test takes of the machine, read back from ctest's listing: a
# quiet slot for every test, the whole machine for a timing test.
add_test(NAME lib.resources
  COMMAND python3 ${CMAKE_CURRENT_LIST_DIR}/check-resources ${CMAKE_BINARY_DIR}
          ${CMAKE_CURRENT_LIST_DIR}/resources.json ${VQ_TIMING_TESTS})
set_tests_properties(lib.resources PROPERTIES TIMEOUT 60)
# A Wine test killed as ctest kills one at its time-out leaves no process,
# namespace, mount or prefix, and its writes do not reach the template.
add_test(NAME lib.wine-isolated
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/wine-isolated-test.sh ${CMAKE_BINARY_DIR}/Testing/wine-isolated)
set_tests_properties(lib.wine-isolated PROPERTIES TIMEOUT 240)
# The same harness from a checkout below /tmp (bound there): the test's own
# /tmp keeps the checkout and its build trees reachable at their paths.
if(VQ_WIN_BUILD_DIR)
  add_test(NAME lib.wine-isolated-tmp-checkout
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/wine-isolated-tmp-test.sh ${VQ_WIN_BUILD_DIR}
            ${CMAKE_BINARY_DIR})
  set_tests_properties(lib.wine-isolated-tmp-checkout PROPERTIES TIMEOUT 120)
endif()
