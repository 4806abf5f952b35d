# The dialer's portable core on the in-memory backend, against a scripted
# TAPI table.
file(GLOB _zq_dialer_tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/dialer/*.cpp)
if(_zq_dialer_tests)
  add_executable(dialer_tests ${_zq_dialer_tests})
  target_include_directories(dialer_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/dialer)
  target_link_libraries(dialer_tests PRIVATE zq_dialer_core zq_platform_memory GTest::gtest GTest::gtest_main)
  zq_warnings(dialer_tests)
  gtest_discover_tests(dialer_tests DISCOVERY_TIMEOUT 30)
endif()

# The Call Log window on a 100 MB log, on the POSIX file backend; prints
# its times and fails over a bound generous enough for the sanitizers.
add_executable(calllog_bench bench/calllog_bench.cpp)
target_link_libraries(calllog_bench PRIVATE zq_dialer_core zq_platform_posix)
zq_warnings(calllog_bench)
add_test(NAME calllog_bench COMMAND calllog_bench)
set_tests_properties(calllog_bench PROPERTIES TIMEOUT 120)
