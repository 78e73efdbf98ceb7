# The demo product installer: its argument rules natively, and the built
# executable under Wine (install, repair, uninstall entry, test hooks).
set(VQ_DEMO_INSTALLER_SRC ${CMAKE_SOURCE_DIR}/tools/demo-installer)

add_executable(vq_demo_installer_args_tests
  ${CMAKE_CURRENT_LIST_DIR}/args_test.cpp
  ${VQ_DEMO_INSTALLER_SRC}/demo_args.cpp)
target_include_directories(vq_demo_installer_args_tests PRIVATE ${VQ_DEMO_INSTALLER_SRC})
target_compile_options(vq_demo_installer_args_tests PRIVATE ${VQ_WARNINGS} ${VQ_SANITIZE_FLAGS} -g -O1)
target_link_options(vq_demo_installer_args_tests PRIVATE ${VQ_SANITIZE_FLAGS})
target_link_libraries(vq_demo_installer_args_tests PRIVATE GTest::gtest GTest::gtest_main)
gtest_discover_tests(vq_demo_installer_args_tests TEST_PREFIX "demo_installer." DISCOVERY_TIMEOUT 60
  PROPERTIES RESOURCE_GROUPS "quiet:1")

if(VQ_WIN_BUILD_DIR)
  add_test(NAME demo_installer.wine
    COMMAND ${VQ_TESTS_DIR}/lib/wine-isolated bash ${CMAKE_CURRENT_LIST_DIR}/wine-test.sh ${VQ_WIN_BUILD_DIR}/tools/vq-demo-installer.exe)
  set_tests_properties(demo_installer.wine PROPERTIES TIMEOUT 300)
endif()
