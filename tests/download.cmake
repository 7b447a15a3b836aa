# G-code file download: the line splitter and download_file on stand-ins, and
# downloads end to end through vqsim.
add_executable(download_tests download_test.cpp)
target_link_libraries(download_tests PRIVATE vqcore vqfakes vqcore GTest::gtest_main)
gtest_discover_tests(download_tests DISCOVERY_TIMEOUT 30)
