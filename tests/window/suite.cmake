# The progress window and the start-up boxes under Wine and Xvfb; the
# screenshots are kept in the build tree as artefacts.
if(VQ_WIN_BUILD_DIR)
  add_test(NAME window.xvfb
    COMMAND ${VQ_TESTS_DIR}/lib/wine-isolated bash ${CMAKE_CURRENT_LIST_DIR}/window-test.sh ${VQ_WIN_BUILD_DIR}
            ${CMAKE_BINARY_DIR}/artefacts/window)
  set_tests_properties(window.xvfb PROPERTIES TIMEOUT 300)
endif()
