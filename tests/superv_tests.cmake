# Link supervision and the set configuration download: component tests in
# the provider's test program (in virtual time, the simulator in-process),
# and the shipped library against zqsim on a pseudo-terminal in real time.

# provider_tests is defined after this file is included.
cmake_language(DEFER CALL target_sources provider_tests PRIVATE
  ${CMAKE_CURRENT_SOURCE_DIR}/component/superv_support.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/component/supervision_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/component/superv_faults_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/component/setconfig_test.cpp)

add_executable(zqsim_provider_tests integration/zqsim_provider_test.cpp)
target_link_libraries(zqsim_provider_tests PRIVATE zq_tapi GTest::gtest GTest::gtest_main ${CMAKE_DL_LIBS})
target_compile_definitions(zqsim_provider_tests PRIVATE ZQ_LIBRARY_PATH="$<TARGET_FILE:zq_6232>"
                                                        ZQSIM_PATH="$<TARGET_FILE:zqsim>")
add_dependencies(zqsim_provider_tests zq_6232 zqsim)
zq_warnings(zqsim_provider_tests)
gtest_discover_tests(zqsim_provider_tests DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 120 LABELS threads)
