# The console and command line end to end, through vqsim.
vq_e2e_test(console_e2e_tests console_e2e_test.cpp)
