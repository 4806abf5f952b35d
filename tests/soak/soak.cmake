# zq_soak: thousands of whole calls in virtual time against the simulator's
# set and PBX (in-memory backend, the provider's tick run on the test's
# thread), flows picked at random, with corrupted, dropped and cut bytes,
# NACKs, adapter restarts and silences on the serial line; the invariants
# are checked after every call. Long runs: build/release/tests/zq_soak
# --calls 10000 --corrupt 1. ctest plays a few hundred calls at 1 %
# corruption with a fixed seed (the run is the same in every build).
add_executable(zq_soak ${CMAKE_CURRENT_LIST_DIR}/soak.cpp ${CMAKE_CURRENT_LIST_DIR}/../component/provider_fixture.cpp
                       ${CMAKE_CURRENT_LIST_DIR}/../component/tapi_driver.cpp
                       ${CMAKE_CURRENT_LIST_DIR}/../component/superv_support.cpp)
target_include_directories(zq_soak PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../component)
target_link_libraries(zq_soak PRIVATE zq_provider zq_platform_memory zq_sim GTest::gtest)
zq_warnings(zq_soak)

add_test(NAME zq_soak COMMAND zq_soak --calls 300 --seed 7 --corrupt 1)
set_tests_properties(zq_soak PROPERTIES LABELS threads TIMEOUT 60)

# zq_soak_pty: the same flows in real time through the shipped library
# (libzqtapi.so and the provider) against the simulator on a pseudo-terminal,
# with corrupted bytes. ctest plays 10 calls; long runs:
# build/release/tests/zq_soak_pty --calls 300 --corrupt 1.
add_executable(zq_soak_pty ${CMAKE_CURRENT_LIST_DIR}/soak_pty.cpp)
target_link_libraries(zq_soak_pty PRIVATE zqtapi zq_tapi zq_sim)
target_include_directories(zq_soak_pty PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../integration)
target_compile_definitions(zq_soak_pty PRIVATE ZQ_PROVIDER_PATH="$<TARGET_FILE:zq_6232>")
add_dependencies(zq_soak_pty zq_6232)
zq_warnings(zq_soak_pty)
add_test(NAME zq_soak_pty COMMAND zq_soak_pty --calls 10 --seed 7 --corrupt 1)
set_tests_properties(zq_soak_pty PROPERTIES LABELS threads TIMEOUT 600)
