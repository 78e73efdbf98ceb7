# The release tool (vornquill-release) end to end.
# A preload library whose fchmod fails, for the key files' fault test.
add_library(vq_fail_fchmod MODULE ${CMAKE_SOURCE_DIR}/tests/release/fail_fchmod.c)
# One whose rename has no no-replace mode and that records folder flushes.
add_library(vq_fs_probe MODULE ${CMAKE_SOURCE_DIR}/tests/release/fs_probe.c)
add_test(NAME release.tool
  COMMAND ${CMAKE_SOURCE_DIR}/tests/release/tool-test.sh
          ${CMAKE_BINARY_DIR}/vornquill-release ${CMAKE_SOURCE_DIR} $<TARGET_FILE:vq_fail_fchmod>
          $<TARGET_FILE:vq_fs_probe>)
set_tests_properties(release.tool PROPERTIES TIMEOUT 120)
add_test(NAME release.fresh
  COMMAND ${CMAKE_SOURCE_DIR}/tests/release/fresh-test.sh ${CMAKE_BINARY_DIR}/vornquill-release
          ${CMAKE_SOURCE_DIR} $<TARGET_FILE:vq_fail_fchmod> $<TARGET_FILE:vq_fs_probe>)
set_tests_properties(release.fresh PROPERTIES TIMEOUT 120)
add_test(NAME release.check
  COMMAND python3 ${CMAKE_SOURCE_DIR}/tests/release/test_check.py ${CMAKE_BINARY_DIR}/vornquill-release)
set_tests_properties(release.check PROPERTIES TIMEOUT 300 LABELS cloud)
# Keys in a PKCS #11 token (softhsm2), and one setup run under Wine that
# installs a release the token signed (on the build's cloud port).
pkg_check_modules(VQ_P11KIT_TEST REQUIRED p11-kit-1)
add_executable(vq_token_fixture ${CMAKE_SOURCE_DIR}/tests/release/token_fixture.c)
target_include_directories(vq_token_fixture PRIVATE ${VQ_P11KIT_TEST_INCLUDE_DIRS})
target_link_libraries(vq_token_fixture PRIVATE ${CMAKE_DL_LIBS})
# A pass-through PKCS #11 module that shows the key template the tool asks
# for, and can make the token refuse to destroy objects.
add_library(vq_p11_probe MODULE ${CMAKE_SOURCE_DIR}/tests/release/p11_probe.c)
target_include_directories(vq_p11_probe PRIVATE ${VQ_P11KIT_TEST_INCLUDE_DIRS})
target_link_libraries(vq_p11_probe PRIVATE ${CMAKE_DL_LIBS})
# The systemd units that renew the statement: verified by systemd, and the
# service's command line run against a test folder and a token.
add_test(NAME release.timer
  COMMAND python3 ${CMAKE_SOURCE_DIR}/tests/release/test_refresh_timer.py ${CMAKE_BINARY_DIR}/vornquill-release)
set_tests_properties(release.timer PROPERTIES TIMEOUT 120)
add_test(NAME release.token
  COMMAND ${VQ_TESTS_DIR}/lib/wine-isolated
          ${CMAKE_SOURCE_DIR}/tests/release/token-test.sh ${CMAKE_BINARY_DIR}/vornquill-release
          ${CMAKE_SOURCE_DIR} $<TARGET_FILE:vq_token_fixture> $<TARGET_FILE:vq_p11_probe>
          $<TARGET_FILE:vq_fs_probe> ${VQ_WIN_BUILD_DIR})
set_tests_properties(release.token PROPERTIES TIMEOUT 300 LABELS cloud)
# publish's check of the installer on signed fixtures of the demo installer.
if(VQ_WIN_BUILD_DIR)
  add_test(NAME release.publish_check
    COMMAND ${CMAKE_SOURCE_DIR}/tests/release/publish-check.sh ${CMAKE_BINARY_DIR}/vornquill-release
            ${CMAKE_SOURCE_DIR} ${VQ_WIN_BUILD_DIR} $<TARGET_FILE:vornquill-release-production>)
  set_tests_properties(release.publish_check PROPERTIES TIMEOUT 240)
endif()
# sign-pe's reading of an executable's headers, in the native unit tests.
target_sources(vq_native_tests PRIVATE ${CMAKE_SOURCE_DIR}/tools/release/sign_inspect.cpp)
# sign-pe: Authenticode signing with a code-signing key in a softhsm2 token
# and a local time-stamping authority; the signed setup executable and a
# signed product installer under Wine (on the build's cloud port).
if(VQ_WIN_BUILD_DIR)
  pkg_check_modules(VQ_CODESIGN_CRYPTO REQUIRED libcrypto)
  add_executable(vq_codesign_fixture ${CMAKE_SOURCE_DIR}/tests/release/codesign_fixture.c)
  target_include_directories(vq_codesign_fixture PRIVATE ${VQ_P11KIT_TEST_INCLUDE_DIRS})
  target_link_libraries(vq_codesign_fixture PRIVATE ${VQ_CODESIGN_CRYPTO_LIBRARIES} ${CMAKE_DL_LIBS})
  # A preload whose waitpid loses the child, as for a caller that ignores
  # SIGCHLD.
  add_library(vq_wait_probe MODULE ${CMAKE_SOURCE_DIR}/tests/release/wait_probe.c)
  add_test(NAME release.sign_pe
    COMMAND ${VQ_TESTS_DIR}/lib/wine-isolated
            ${CMAKE_SOURCE_DIR}/tests/release/sign-pe-test.sh ${CMAKE_BINARY_DIR}/vornquill-release
            ${CMAKE_SOURCE_DIR} $<TARGET_FILE:vq_codesign_fixture> ${VQ_WIN_BUILD_DIR}
            $<TARGET_FILE:vq_wait_probe>)
  set_tests_properties(release.sign_pe PROPERTIES TIMEOUT 300 LABELS cloud)
endif()
