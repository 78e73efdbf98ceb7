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
add_test(NAME release.check
  COMMAND python3 ${CMAKE_SOURCE_DIR}/tests/release/test_check.py ${CMAKE_BINARY_DIR}/vornquill-release)
set_tests_properties(release.check PROPERTIES TIMEOUT 300 LABELS cloud)
