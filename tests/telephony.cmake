# The telephony application library: the core over the provider linked in,
# on the in-memory backend, the simulator's set in virtual time; the A/W
# conversions and the locations.
set(_zq_telephony_tests)
foreach(_zq_test core_test convert_test locations_test)
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/telephony/${_zq_test}.cpp)
    list(APPEND _zq_telephony_tests telephony/${_zq_test}.cpp)
  endif()
endforeach()
add_executable(telephony_tests ${_zq_telephony_tests} component/provider_fixture.cpp component/superv_support.cpp)
target_include_directories(telephony_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/component)
target_link_libraries(telephony_tests PRIVATE zq_tapiapp zq_provider zq_platform_memory zq_sim GTest::gtest
                                              GTest::gtest_main)
zq_warnings(telephony_tests)
# Label threads (also run under ThreadSanitizer): the provider's worker
# reports events while the tests call in.
gtest_discover_tests(telephony_tests DISCOVERY_TIMEOUT 30 PROPERTIES LABELS threads)

# The shipped libzqtapi.so with the shipped provider: assisted telephony
# between two processes.
add_executable(telephony_socket_tests telephony/core_socket_test.cpp)
target_link_libraries(telephony_socket_tests PRIVATE zqtapi zq_tapi GTest::gtest GTest::gtest_main)
target_compile_definitions(telephony_socket_tests PRIVATE ZQ_PROVIDER_PATH="$<TARGET_FILE:zq_6232>")
add_dependencies(telephony_socket_tests zq_6232)
zq_warnings(telephony_socket_tests)
gtest_discover_tests(telephony_socket_tests DISCOVERY_TIMEOUT 30 PROPERTIES LABELS threads)
