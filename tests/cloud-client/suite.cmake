# The cloud client's Windows tests against the reference cloud under Wine
# (the plain Windows unit run skips them: it has no cloud).
if(VQ_WIN_BUILD_DIR)
  add_test(NAME cloud_client.wine
    COMMAND ${VQ_TESTS_DIR}/lib/wine-isolated bash ${CMAKE_CURRENT_LIST_DIR}/run.sh ${VQ_WIN_BUILD_DIR}/vq_win_tests.exe
            ${CMAKE_BINARY_DIR}/vornquill-release)
  set_tests_properties(cloud_client.wine PROPERTIES TIMEOUT 300 LABELS cloud)
endif()
