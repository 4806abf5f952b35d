# Checks of zq/tapi_posix.h, our stand-in for the SDK's TAPI headers.
# Cross builds compare it with the SDK headers at compile time; native builds
# make sure it compiles cleanly on its own. Both are compile-only: a mismatch
# fails the build.
set(ZQ_TAPI_POSIX_HEADER ${PROJECT_SOURCE_DIR}/tapi/include/zq/tapi_posix.h)

if(WIN32)
  find_program(ZQ_AWK NAMES awk mawk gawk REQUIRED)
  set(_zq_conformance_dir ${CMAKE_CURRENT_BINARY_DIR}/conformance)
  set(_zq_conformance_checks ${_zq_conformance_dir}/tapi_conformance_checks.inc)
  add_custom_command(
    OUTPUT ${_zq_conformance_checks}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_zq_conformance_dir}
    COMMAND ${ZQ_AWK} -v out=${_zq_conformance_checks} -f ${CMAKE_CURRENT_LIST_DIR}/conformance/gen_conformance.awk
            ${ZQ_TAPI_POSIX_HEADER}
    DEPENDS ${ZQ_TAPI_POSIX_HEADER} ${CMAKE_CURRENT_LIST_DIR}/conformance/gen_conformance.awk
    COMMENT "Listing the declarations of tapi_posix.h for the conformance check"
    VERBATIM)
  add_library(zq_tapi_conformance OBJECT ${CMAKE_CURRENT_LIST_DIR}/conformance/tapi_conformance.cpp
                                         ${_zq_conformance_checks})
  target_include_directories(zq_tapi_conformance PRIVATE ${_zq_conformance_dir} ${PROJECT_SOURCE_DIR}/tapi/include)
  zq_warnings(zq_tapi_conformance)
else()
  add_library(zq_tapi_posix_compile_test OBJECT ${CMAKE_CURRENT_LIST_DIR}/conformance/tapi_posix_compile_test.cpp)
  target_link_libraries(zq_tapi_posix_compile_test PRIVATE zq_tapi)
  zq_warnings(zq_tapi_posix_compile_test)
endif()
