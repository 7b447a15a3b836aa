# --- Vacuum head processor and the keyboard.

# The keyboard stand-in goes with the other stand-ins, so every unit test that
# links the command tables (and so the vacuum head) finds it.
target_sources(vqfakes PRIVATE fakes/fake_keyboard.cpp)

vq_unit_test(vacuum_head_tests vacuum_head_test.cpp)

vq_e2e_test(vacuum_head_e2e_tests vacuum_head_e2e_test.cpp)

add_executable(keyboard_tests keyboard_test.cpp)
target_link_libraries(keyboard_tests PRIVATE vqplatform GTest::gtest_main util)
gtest_discover_tests(keyboard_tests DISCOVERY_TIMEOUT 30)
