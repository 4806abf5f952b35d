# The simulator: wire format, set description, adapter and PBX in virtual
# time; the zqsim command on a pseudo-terminal in real time.
add_executable(sim_tests
  sim/sim_harness.cpp
  sim/wire_test.cpp
  sim/set_description_test.cpp
  sim/adapter_test.cpp
  sim/download_test.cpp
  sim/model_test.cpp)
target_link_libraries(sim_tests PRIVATE zq_sim GTest::gtest GTest::gtest_main)
zq_warnings(sim_tests)
gtest_discover_tests(sim_tests DISCOVERY_TIMEOUT 30 TEST_PREFIX sim.)

add_executable(sim_pty_tests sim/zqsim_pty_test.cpp)
target_link_libraries(sim_pty_tests PRIVATE GTest::gtest GTest::gtest_main)
target_compile_definitions(sim_pty_tests PRIVATE ZQSIM_PATH="$<TARGET_FILE:zqsim>")
add_dependencies(sim_pty_tests zqsim)
zq_warnings(sim_pty_tests)
gtest_discover_tests(sim_pty_tests DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 60)
