# The call model: set messages, icons, display parsing and analysis, PBX
# call events, in the provider's component test program (virtual time, the
# simulator's set and PBX in-process).

# provider_tests is defined after this file is included.
set(_zq_callmodel_tests)
foreach(_zq_test setmsg_test display_test callmodel_test tapi_driver callinfo_test keys_test queries_test
                 requests_test setup_test setup_model_test)
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/component/${_zq_test}.cpp)
    list(APPEND _zq_callmodel_tests ${CMAKE_CURRENT_SOURCE_DIR}/component/${_zq_test}.cpp)
  endif()
endforeach()
if(_zq_callmodel_tests)
  cmake_language(DEFER CALL target_sources provider_tests PRIVATE ${_zq_callmodel_tests})
endif()

# Whole calls per CPU-second through the call model, in virtual time:
# build/release/tests/callmodel_bench. Built in every preset. ctest plays a
# few hundred calls, each checked; in the release build the best of three
# rounds must reach 2000 calls per CPU-second.
add_executable(callmodel_bench bench/callmodel_bench.cpp component/provider_fixture.cpp
                               component/superv_support.cpp)
target_include_directories(callmodel_bench PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/component ${CMAKE_CURRENT_SOURCE_DIR}/soak)
target_link_libraries(callmodel_bench PRIVATE zq_provider zq_platform_memory zq_sim GTest::gtest)
zq_warnings(callmodel_bench)
if(CMAKE_BUILD_TYPE STREQUAL "Release" AND NOT ZQ_SANITIZE)
  add_test(NAME callmodel_bench COMMAND callmodel_bench --calls 1000 --rounds 3 --min-rate 2000)
else()
  add_test(NAME callmodel_bench COMMAND callmodel_bench --calls 300)
endif()
set_tests_properties(callmodel_bench PROPERTIES TIMEOUT 60)

# Calls through the shipped library on a pseudo-terminal, the simulator in
# the test's process, in real time.
add_executable(callmodel_pty_tests integration/callmodel_pty_test.cpp)
target_link_libraries(callmodel_pty_tests PRIVATE zq_tapi zq_sim GTest::gtest GTest::gtest_main ${CMAKE_DL_LIBS})
target_compile_definitions(callmodel_pty_tests PRIVATE ZQ_LIBRARY_PATH="$<TARGET_FILE:zq_6232>")
add_dependencies(callmodel_pty_tests zq_6232)
zq_warnings(callmodel_pty_tests)
gtest_discover_tests(callmodel_pty_tests DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 60 LABELS threads)
