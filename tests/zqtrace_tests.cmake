# zqtrace, the trace reader: its decoder's table, a trace recorded from
# calls with the simulator (the provider on the in-memory backend, virtual
# time) read back against what TAPI heard, and the command on a cut trace
# and on files that are no trace. The decoder's fuzzer when ZQ_FUZZ is on.
if(TARGET zqtrace)
  add_executable(zqtrace_tests integration/zqtrace_test.cpp component/provider_fixture.cpp
                               component/tapi_driver.cpp component/superv_support.cpp)
  target_include_directories(zqtrace_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/component)
  target_link_libraries(zqtrace_tests PRIVATE zqtrace_core zq_provider zq_platform_memory zq_sim GTest::gtest
                                              GTest::gtest_main)
  target_compile_definitions(zqtrace_tests PRIVATE ZQTRACE_PATH="$<TARGET_FILE:zqtrace>")
  add_dependencies(zqtrace_tests zqtrace)
  zq_warnings(zqtrace_tests)
  gtest_discover_tests(zqtrace_tests DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 60)

  if(ZQ_FUZZ AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    add_executable(trace_fuzz fuzz/trace_fuzz.cpp)
    target_link_libraries(trace_fuzz PRIVATE zqtrace_core)
    target_compile_options(trace_fuzz PRIVATE -fsanitize=fuzzer)
    target_link_options(trace_fuzz PRIVATE -fsanitize=fuzzer)
    zq_warnings(trace_fuzz)
  endif()
endif()
