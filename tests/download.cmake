# G-code file download: the line splitter and download_file on stand-ins, and
# downloads end to end through vqsim.
add_executable(download_tests download_test.cpp)
target_link_libraries(download_tests PRIVATE vqcore vqfakes vqcore GTest::gtest_main)
gtest_discover_tests(download_tests DISCOVERY_TIMEOUT 30)

add_executable(download_e2e_tests download_e2e_test.cpp)
target_link_libraries(download_e2e_tests PRIVATE vqharness GTest::gtest_main)
add_dependencies(download_e2e_tests vqdnc vqsim)
gtest_discover_tests(download_e2e_tests DISCOVERY_TIMEOUT 30)
