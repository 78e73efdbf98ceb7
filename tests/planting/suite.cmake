# A DLL planted beside the setup executable is never loaded (under Wine and
# Xvfb). The test build is served a release by a reference cloud in the
# test's own network namespace, so that its runs reach the signature check.
if(VQ_WIN_BUILD_DIR)
  add_test(NAME planting.wine
    COMMAND ${VQ_TESTS_DIR}/lib/wine-isolated bash ${CMAKE_CURRENT_LIST_DIR}/planting-test.sh ${VQ_WIN_BUILD_DIR}
            ${CMAKE_SOURCE_DIR}/build/win-production/VornquillAI-Online-Setup-x64-SELFSIGNED.exe
            ${CMAKE_BINARY_DIR})
  set_tests_properties(planting.wine PROPERTIES TIMEOUT 300)
endif()
