# Every benchmark command of scripts/bench once at its smallest sizes
# (scripts/bench smoke): the figures are printed, not judged; the test fails
# only when a benchmark cannot run. On a Windows machine of its own, since
# the Windows benchmark runs the setup under Wine on the build's cloud port.
# It loads both cores, so it takes the whole machine (VQ_TIMING_TESTS in
# tests/CMakeLists.txt): nothing runs beside it.
if(VQ_WIN_BUILD_DIR)
  add_test(NAME bench.smoke
    COMMAND ${VQ_TESTS_DIR}/lib/wine-isolated ${CMAKE_SOURCE_DIR}/scripts/bench smoke)
  set_tests_properties(bench.smoke PROPERTIES TIMEOUT 420)
endif()
