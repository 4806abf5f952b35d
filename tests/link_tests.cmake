# The terminal link: component tests in the provider's test executable, the
# shipped library on a pseudo-terminal, the input fuzzer (clang, ZQ_FUZZ)
# and the input benchmark (builds without sanitizers).

# This file is read before provider_tests exists: add to it once the
# directory is done.
cmake_language(DEFER CALL target_sources provider_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/component/link_test.cpp)

# The shipped library on a pseudo-terminal, in real time.
add_executable(link_pty_tests integration/link_pty_test.cpp)
target_link_libraries(link_pty_tests PRIVATE zq_tapi GTest::gtest GTest::gtest_main ${CMAKE_DL_LIBS})
target_compile_definitions(link_pty_tests PRIVATE ZQ_LIBRARY_PATH="$<TARGET_FILE:zq_6232>")
add_dependencies(link_pty_tests zq_6232)
zq_warnings(link_pty_tests)
gtest_discover_tests(link_pty_tests DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 60 LABELS threads)

# The input fuzzers: libFuzzer needs clang. tests/fuzz/run.sh builds them
# with the whole provider instrumented for coverage and runs them.
if(ZQ_FUZZ)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    add_executable(link_fuzz fuzz/link_fuzz.cpp)
    target_link_libraries(link_fuzz PRIVATE zq_provider zq_platform_memory)
    # The call model from a line in service: the simulator runs the
    # configuration download once, at the fuzzer's start.
    add_executable(callmodel_fuzz fuzz/callmodel_fuzz.cpp)
    target_link_libraries(callmodel_fuzz PRIVATE zq_provider zq_platform_memory zq_sim)
    foreach(_zq_fuzz link_fuzz callmodel_fuzz)
      target_compile_options(${_zq_fuzz} PRIVATE -fsanitize=fuzzer)
      target_link_options(${_zq_fuzz} PRIVATE -fsanitize=fuzzer)
      zq_warnings(${_zq_fuzz})
    endforeach()
  else()
    message(WARNING "ZQ_FUZZ needs clang: the fuzz targets are not built")
  endif()
endif()

# The input benchmark, measured without sanitizers (the release preset):
# build/release/tests/link_bench
if(NOT ZQ_SANITIZE AND NOT ZQ_FUZZ)
  find_package(benchmark QUIET)
  if(benchmark_FOUND)
    add_executable(link_bench bench/link_bench.cpp)
    target_link_libraries(link_bench PRIVATE zq_provider zq_platform_memory zq_sim benchmark::benchmark)
    zq_warnings(link_bench)
  endif()
endif()
