# The call model: set messages, icons, display parsing and analysis, PBX
# call events, in the provider's component test program (virtual time, the
# simulator's set and PBX in-process).

# provider_tests is defined after this file is included.
set(_zq_callmodel_tests)
foreach(_zq_test setmsg_test display_test callmodel_test callinfo_test)
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/component/${_zq_test}.cpp)
    list(APPEND _zq_callmodel_tests ${CMAKE_CURRENT_SOURCE_DIR}/component/${_zq_test}.cpp)
  endif()
endforeach()
if(_zq_callmodel_tests)
  cmake_language(DEFER CALL target_sources provider_tests PRIVATE ${_zq_callmodel_tests})
endif()
