# Releases through a caching edge: nginx's proxy cache (tools/cloud/nginx/edge.conf.in)
# in front of nginx serving a published folder. edge.check needs no Wine and
# uses free loopback ports; edge.setup runs the setup executable under Wine
# through the edge on the test build's cloud port.
add_test(NAME edge.check
  COMMAND python3 ${CMAKE_CURRENT_LIST_DIR}/test_edge_check.py ${CMAKE_BINARY_DIR}/vornquill-release)
set_tests_properties(edge.check PROPERTIES TIMEOUT 180 LABELS cloud SKIP_RETURN_CODE 77)
if(VQ_WIN_BUILD_DIR)
  add_test(NAME edge.setup
    COMMAND ${VQ_TESTS_DIR}/lib/wine-isolated python3 ${CMAKE_CURRENT_LIST_DIR}/e2e_edge.py
            --win-dir ${VQ_WIN_BUILD_DIR} --native-dir ${CMAKE_BINARY_DIR}
            --artefacts ${CMAKE_BINARY_DIR}/artefacts/edge)
  set_tests_properties(edge.setup PROPERTIES TIMEOUT 300 LABELS e2e)
endif()
