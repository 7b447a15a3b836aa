# The console and command line end to end, through vqsim.
add_executable(console_e2e_tests console_e2e_test.cpp)
target_link_libraries(console_e2e_tests PRIVATE vqharness GTest::gtest_main)
add_dependencies(console_e2e_tests vqdnc vqsim)
gtest_discover_tests(console_e2e_tests DISCOVERY_TIMEOUT 30)
