# The test code-signing material and tools/sign-installer: certificates,
# the pinned thumbprint compiled into the test build, and signatures made
# with each certificate kind, checked with osslsigncode and openssl.
if(VQ_WIN_BUILD_DIR)
  add_test(NAME signing.certificates_and_signatures
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/signing-test.sh ${VQ_WIN_BUILD_DIR}/tools/vq-demo-installer.exe)
  set_tests_properties(signing.certificates_and_signatures PROPERTIES TIMEOUT 120)
endif()
