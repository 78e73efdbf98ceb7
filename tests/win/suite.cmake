# Windows unit tests, run under Wine by the test wrapper.
if(VQ_WIN_BUILD_DIR)
  add_test(NAME win.unit
    COMMAND ${VQ_TESTS_DIR}/lib/wine-isolated bash ${CMAKE_CURRENT_LIST_DIR}/run.sh ${VQ_WIN_BUILD_DIR}/vq_win_tests.exe
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR})
  set_tests_properties(win.unit PROPERTIES TIMEOUT 600)
endif()
