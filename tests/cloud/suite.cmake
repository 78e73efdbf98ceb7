# The cloud servers: the reference cloud (scripts/cloud) and the private nginx
# (tools/cloud/nginx-serve), each on free loopback ports. The reference cloud
# runs once under python3 from PATH and once under the system's /usr/bin/python3.
set(VQ_CLOUD_TESTS ${CMAKE_SOURCE_DIR}/tests/cloud)

add_test(NAME cloud.reference
  COMMAND python3 ${VQ_CLOUD_TESTS}/test_reference_cloud.py)
add_test(NAME cloud.reference.system-python
  COMMAND /usr/bin/python3 ${VQ_CLOUD_TESTS}/test_reference_cloud.py)
add_test(NAME cloud.nginx
  COMMAND python3 ${VQ_CLOUD_TESTS}/test_nginx.py)

# A case skipped on purpose (say, a TLS library that cannot offer TLS 1.1)
# makes the suite exit 77, which CTest shows as skipped instead of passed.
set_tests_properties(cloud.reference cloud.reference.system-python cloud.nginx
  PROPERTIES TIMEOUT 180 LABELS cloud SKIP_RETURN_CODE 77)
