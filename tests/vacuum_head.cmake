# --- Vacuum head processor and the keyboard.

# The keyboard stand-in goes with the other stand-ins, so every unit test that
# links the command tables (and so the vacuum head) finds it.
target_sources(vqfakes PRIVATE fakes/fake_keyboard.cpp)

add_executable(vacuum_head_tests vacuum_head_test.cpp)
target_link_libraries(vacuum_head_tests PRIVATE vqcore vqfakes vqcore GTest::gtest_main)
gtest_discover_tests(vacuum_head_tests DISCOVERY_TIMEOUT 30)
