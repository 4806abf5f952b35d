# The Windows builds under Wine: the provider loaded by the TSPI host with
# COM1 on a pseudo-terminal, and tests/wine/adapter.py playing the adapter.
# Registered when wine is installed and the mingw builds exist, or always
# with ZQ_WINE_TESTS=ON (then a missing build fails the test).
option(ZQ_WINE_TESTS "Register the Wine tests even before the mingw presets are built" OFF)
find_program(ZQ_WINE wine)

if(NOT ZQ_WINE)
  if(ZQ_WINE_TESTS)
    message(FATAL_ERROR "ZQ_WINE_TESTS=ON but wine was not found (scripts/setup.sh with ZQ_WITH_WINE=1)")
  endif()
  return()
endif()

foreach(arch i686 x86_64)
  if(ZQ_WINE_TESTS OR EXISTS ${PROJECT_SOURCE_DIR}/build/mingw-${arch}/tools/win/tsphost.exe)
    add_test(NAME wine_opening_sequence_${arch}
             COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/wine/run.sh ${PROJECT_SOURCE_DIR} ${arch})
    # One prefix and one COM1 link for both: never run together.
    set_tests_properties(wine_opening_sequence_${arch} PROPERTIES
                         LABELS wine TIMEOUT 300 RESOURCE_LOCK zq_wineprefix)
    # The whole start against the simulator: download and line in service.
    add_test(NAME wine_download_${arch}
             COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/wine/download.sh ${PROJECT_SOURCE_DIR} ${arch}
                     $<TARGET_FILE:zqsim>)
    set_tests_properties(wine_download_${arch} PROPERTIES
                         LABELS wine TIMEOUT 300 RESOURCE_LOCK zq_wineprefix)
  endif()
endforeach()

# The project's tapi32.dll in place of Wine's: a program bound like the
# dialer places a call through it, another program's request starts it,
# and the location dialog writes the location.
foreach(arch i686 x86_64)
  if(ZQ_WINE_TESTS OR EXISTS ${PROJECT_SOURCE_DIR}/build/mingw-${arch}/telephony/win32/tapiapp.exe)
    add_test(NAME wine_tapiapp_${arch}
             COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/wine/tapiapp.sh ${PROJECT_SOURCE_DIR} ${arch}
                     $<TARGET_FILE:zqsim>)
    set_tests_properties(wine_tapiapp_${arch} PROPERTIES
                         LABELS wine TIMEOUT 300 RESOURCE_LOCK zq_wineprefix)
  endif()
endforeach()

# zqphone's Windows console build over the project's tapi32.dll: the line
# listed, a call that the far end hangs up, a call dropped by Ctrl-C.
foreach(arch i686 x86_64)
  if(ZQ_WINE_TESTS OR EXISTS ${PROJECT_SOURCE_DIR}/build/mingw-${arch}/tools/zqphone/zqphone.exe)
    add_test(NAME wine_zqphone_${arch}
             COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/wine/zqphone.sh ${PROJECT_SOURCE_DIR} ${arch}
                     $<TARGET_FILE:zqsim>)
    set_tests_properties(wine_zqphone_${arch} PROPERTIES
                         LABELS wine TIMEOUT 300 RESOURCE_LOCK zq_wineprefix)
  endif()
endforeach()

# The provider's setup dialogs as TAPI runs them (tuihost), clicked with
# xdotool and read back with wininfo; with the line open on the simulator,
# a new port asks for a restart.
foreach(arch i686 x86_64)
  if(ZQ_WINE_TESTS OR EXISTS ${PROJECT_SOURCE_DIR}/build/mingw-${arch}/tools/win/tuihost.exe)
    add_test(NAME wine_setup_${arch}
             COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/wine/setup.sh ${PROJECT_SOURCE_DIR} ${arch}
                     $<TARGET_FILE:zqsim>)
    set_tests_properties(wine_setup_${arch} PROPERTIES
                         LABELS wine TIMEOUT 300 RESOURCE_LOCK zq_wineprefix)
  endif()
endforeach()
