# The build itself: the profile is a required choice.
add_test(NAME build.profile_required
  COMMAND ${CMAKE_SOURCE_DIR}/tests/build/profile-required.sh ${CMAKE_SOURCE_DIR})
set_tests_properties(build.profile_required PROPERTIES TIMEOUT 120)
