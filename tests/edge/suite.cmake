# Releases through a caching edge: nginx's proxy cache (tools/cloud/nginx/edge.conf.in)
# in front of an origin serving a published folder. edge.check needs no Wine and
# uses free loopback ports; edge.setup and edge.cold are the harness's groups
# edge and edge_cold (tests/e2e/groups/): the setup executable under Wine
# through the edge on the test build's cloud port. edge.cold sits through the
# program's full back-off (about two minutes), so it runs beside the others.
add_test(NAME edge.check
  COMMAND python3 ${CMAKE_CURRENT_LIST_DIR}/test_edge_check.py ${CMAKE_BINARY_DIR}/vornquill-release)
set_tests_properties(edge.check PROPERTIES TIMEOUT 420 LABELS cloud SKIP_RETURN_CODE 77)
if(VQ_WIN_BUILD_DIR)
  foreach(group edge edge_cold)
    string(REPLACE "edge_cold" "cold" name ${group})
    string(REPLACE "edge" "setup" name ${name})
    add_test(NAME edge.${name}
      COMMAND ${VQ_TESTS_DIR}/lib/wine-isolated
              python3 ${VQ_TESTS_DIR}/e2e/e2e.py ${group}
              --win-dir ${VQ_WIN_BUILD_DIR} --native-dir ${CMAKE_BINARY_DIR}
              --artefacts ${CMAKE_BINARY_DIR}/artefacts/edge)
    set_tests_properties(edge.${name} PROPERTIES TIMEOUT 450 LABELS e2e)
  endforeach()
  set_tests_properties(edge.cold PROPERTIES COST 150)
  set_tests_properties(edge.setup PROPERTIES COST 120)
endif()
