# Link faults end to end, through vqsim: hang-up, arbitrary answer bytes, slow
# and silent controllers, a second program on the same device.
add_executable(link_faults_tests link_faults_test.cpp)
target_link_libraries(link_faults_tests PRIVATE vqharness GTest::gtest_main)
add_dependencies(link_faults_tests vqdnc vqsim)
gtest_discover_tests(link_faults_tests DISCOVERY_TIMEOUT 30)
