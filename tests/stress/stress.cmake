# zq_stress: the provider's lifecycle under random opens, closes and
# shutdowns from several threads against the simulator on a pseudo-terminal,
# with faults and message boxes held open. The provider is linked in with
# the POSIX backend so that the stress can hold the boxes and probe the line
# mutex. CI runs it for a minute under ThreadSanitizer (preset tsan), the
# other presets for a few seconds.
set(ZQ_STRESS_SECONDS 5 CACHE STRING "How long ctest runs zq_stress, in seconds")

add_executable(zq_stress ${CMAKE_CURRENT_LIST_DIR}/zq_stress.cpp)
target_link_libraries(zq_stress PRIVATE zq_provider zq_platform_posix zq_sim)
target_include_directories(zq_stress PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../integration)
zq_warnings(zq_stress)

add_test(NAME zq_stress COMMAND zq_stress --seconds ${ZQ_STRESS_SECONDS})
# The run, then the last close and shutdown within their bounds.
math(EXPR _zq_stress_timeout "${ZQ_STRESS_SECONDS} + 180")
set_tests_properties(zq_stress PROPERTIES LABELS threads TIMEOUT ${_zq_stress_timeout})

# zq_open_cycles: many opens and closes of the shipped library in one
# process; descriptors, threads and memory before and after. Not in ctest
# (1000 cycles take a few minutes): build/release/tests/zq_open_cycles.
add_executable(zq_open_cycles ${CMAKE_CURRENT_LIST_DIR}/open_cycles.cpp)
target_link_libraries(zq_open_cycles PRIVATE zq_tapi ${CMAKE_DL_LIBS})
target_include_directories(zq_open_cycles PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../integration)
zq_warnings(zq_open_cycles)

# zq_telephony_stress: the telephony library under several applications'
# threads, over libzqtapi.so and the shipped provider against the simulator
# on a pseudo-terminal; run as long as zq_stress.
add_executable(zq_telephony_stress ${CMAKE_CURRENT_LIST_DIR}/telephony_stress.cpp)
target_link_libraries(zq_telephony_stress PRIVATE zqtapi zq_tapi zq_sim)
target_include_directories(zq_telephony_stress PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../integration)
target_compile_definitions(zq_telephony_stress PRIVATE ZQ_PROVIDER_PATH="$<TARGET_FILE:zq_6232>")
add_dependencies(zq_telephony_stress zq_6232)
zq_warnings(zq_telephony_stress)
add_test(NAME zq_telephony_stress COMMAND zq_telephony_stress --seconds ${ZQ_STRESS_SECONDS})
set_tests_properties(zq_telephony_stress PROPERTIES LABELS threads TIMEOUT ${_zq_stress_timeout})
