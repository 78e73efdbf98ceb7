# A DLL planted beside the setup executable is never loaded (under Wine and
# Xvfb). The cloud port stays free: the runs must find no cloud.
if(VQ_WIN_BUILD_DIR)
  add_test(NAME planting.wine
    COMMAND ${VQ_TESTS_DIR}/lib/wine-isolated bash ${CMAKE_CURRENT_LIST_DIR}/planting-test.sh ${VQ_WIN_BUILD_DIR}
            ${CMAKE_SOURCE_DIR}/build/win-production/VornquillAI-Online-Setup-x64-SELFSIGNED.exe)
  set_tests_properties(planting.wine PROPERTIES TIMEOUT 300)
endif()
