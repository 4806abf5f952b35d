# zqphone over libzqtapi.so and the provider on a pseudo-terminal with the
# simulator: dial strings, a watch taking calls, a dial on its own line.
if(NOT WIN32)
  add_executable(zqphone_tests integration/zqphone_test.cpp ${PROJECT_SOURCE_DIR}/tools/zqphone/dial_string.cpp)
  target_include_directories(zqphone_tests PRIVATE ${PROJECT_SOURCE_DIR}/tools/zqphone)
  target_link_libraries(zqphone_tests PRIVATE zq_tapi zq_sim GTest::gtest GTest::gtest_main)
  target_compile_definitions(zqphone_tests PRIVATE ZQ_LIBRARY_PATH="$<TARGET_FILE:zq_6232>"
                                                   ZQPHONE_PATH="$<TARGET_FILE:zqphone>")
  add_dependencies(zqphone_tests zq_6232 zqphone)
  zq_warnings(zqphone_tests)
  gtest_discover_tests(zqphone_tests DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 120 LABELS threads)
endif()
