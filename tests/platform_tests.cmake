# The platform's own tests: the registry tree and INI text shared by the
# backends (unit), and the POSIX backend against a pseudo-terminal and
# against a second process writing the same hive (integration).
add_executable(platform_unit_tests
  unit/reg_tree_test.cpp
  unit/ini_text_test.cpp)
target_link_libraries(platform_unit_tests PRIVATE zq_platform_common GTest::gtest GTest::gtest_main)
zq_warnings(platform_unit_tests)
gtest_discover_tests(platform_unit_tests DISCOVERY_TIMEOUT 30)

# Writes values into a hive, one registry call each, acknowledging each on
# standard output; it can stop its last hive write half-way through the
# backend's internal test hook.
add_executable(hive_writer integration/hive_writer.cpp)
target_include_directories(hive_writer PRIVATE ${PROJECT_SOURCE_DIR}/platform/posix)
target_link_libraries(hive_writer PRIVATE zq_platform_posix)
zq_warnings(hive_writer)

add_executable(platform_posix_tests
  integration/serial_pty_test.cpp
  integration/hive_concurrency_test.cpp)
target_link_libraries(platform_posix_tests PRIVATE zq_platform_posix GTest::gtest GTest::gtest_main)
target_compile_definitions(platform_posix_tests PRIVATE ZQ_HIVE_WRITER="$<TARGET_FILE:hive_writer>")
add_dependencies(platform_posix_tests hive_writer)
zq_warnings(platform_posix_tests)
gtest_discover_tests(platform_posix_tests DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 120 LABELS threads)
