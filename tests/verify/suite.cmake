# The Authenticode check on installers signed at test time with the test
# certificates, under Wine.
if(VQ_WIN_BUILD_DIR)
  add_test(NAME verify.authenticode_signed
    COMMAND ${VQ_TESTS_DIR}/lib/wine-isolated bash ${CMAKE_CURRENT_LIST_DIR}/run-signed.sh ${VQ_WIN_BUILD_DIR})
  set_tests_properties(verify.authenticode_signed PROPERTIES TIMEOUT 180)
endif()
