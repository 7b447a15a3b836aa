# G-code file download: the line splitter and download_file on stand-ins, and
# downloads end to end through vqsim.
vq_unit_test(download_tests download_test.cpp)

vq_e2e_test(download_e2e_tests download_e2e_test.cpp)
