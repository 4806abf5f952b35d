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
