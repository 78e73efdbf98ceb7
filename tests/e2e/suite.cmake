# End-to-end scenarios of the setup executable under Wine against the
# reference cloud (and nginx serving the same folder) on the test build's
# cloud port: one ctest test per group, each on a Windows machine of its own
# (tests/lib/wine-isolated: its own network namespace, so every group's cloud
# takes the one port; its own Wine prefix and display), so that the groups
# run side by side.
# The window and boxes groups need the Xvfb display; their screenshots are
# kept in the build tree as artefacts. The window group's cancels are timed
# against the program's steps: it is a timing test (tests/CMakeLists.txt). The disk group mounts size-limited tmpfs file
# systems over the prefix's ProgramData (root only). The tls group's run
# meets every refused server in its eight attempts with their full back-off
# (about two minutes), as does the redirect group's refused redirect. The
# fresh and edge_fresh groups each wait out a freshness window of 45 s.
if(VQ_WIN_BUILD_DIR)
  foreach(group release download install links nginx window boxes disk tls redirect hold proxy attacks
                fresh edge_fresh)
    add_test(NAME e2e.${group}
      COMMAND ${VQ_TESTS_DIR}/lib/wine-isolated
              python3 ${CMAKE_CURRENT_LIST_DIR}/e2e.py ${group}
              --win-dir ${VQ_WIN_BUILD_DIR} --native-dir ${CMAKE_BINARY_DIR}
              --artefacts ${CMAKE_BINARY_DIR}/artefacts/e2e)
    set_tests_properties(e2e.${group} PROPERTIES TIMEOUT 450 LABELS e2e)
  endforeach()
  # Seconds each takes, roughly, so that a first ctest -j run (no timings of
  # an earlier run yet) starts the long waits first.
  set_tests_properties(e2e.tls e2e.redirect PROPERTIES COST 180)
  set_tests_properties(e2e.window PROPERTIES COST 120)
  # The attacks group waits out four trickles of eight attempts each.
  set_tests_properties(e2e.attacks PROPERTIES COST 130)
  set_tests_properties(e2e.install e2e.release e2e.download e2e.nginx e2e.disk PROPERTIES COST 60)
  set_tests_properties(e2e.fresh e2e.edge_fresh PROPERTIES COST 90)
endif()
# The harness's own reading of the servers' logs, without Wine: a request in
# flight when a run ends, and the time of every server's records.
add_test(NAME e2e.harness COMMAND python3 ${CMAKE_CURRENT_LIST_DIR}/test_harness.py)
set_tests_properties(e2e.harness PROPERTIES TIMEOUT 120 LABELS cloud SKIP_RETURN_CODE 77)
