# Link faults end to end, through vqsim: hang-up, a missing, replaced or stalling
# device, closed standard descriptors, arbitrary answer bytes, slow
# and silent controllers, a second program on the same device.
vq_e2e_test(link_faults_tests link_faults_test.cpp)
