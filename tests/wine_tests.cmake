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

# wine_NAME_ARCH for each architecture whose mingw build has BUILT (or for
# both with ZQ_WINE_TESTS=ON): tests/wine/SCRIPT with the source folder, the
# architecture and the arguments after BUILT. One prefix and one COM1 link
# for all: never run together.
function(zq_wine_test name script built)
  foreach(arch i686 x86_64)
    if(ZQ_WINE_TESTS OR EXISTS ${PROJECT_SOURCE_DIR}/build/mingw-${arch}/${built})
      add_test(NAME wine_${name}_${arch}
               COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/wine/${script} ${PROJECT_SOURCE_DIR} ${arch} ${ARGN})
      set_tests_properties(wine_${name}_${arch} PROPERTIES
                           LABELS wine TIMEOUT 300 RESOURCE_LOCK zq_wineprefix)
    endif()
  endforeach()
endfunction()

zq_wine_test(opening_sequence run.sh tools/win/tsphost.exe)
# The whole start against the simulator: download and line in service.
zq_wine_test(download download.sh tools/win/tsphost.exe $<TARGET_FILE:zqsim>)

# The project's tapi32.dll in place of Wine's: a program bound like the
# dialer places a call through it, another program's request starts it,
# and the location dialog writes the location.
zq_wine_test(tapiapp tapiapp.sh telephony/win32/tapiapp.exe $<TARGET_FILE:zqsim>)

# zqphone's Windows console build over the project's tapi32.dll: the line
# listed, a call that the far end hangs up, a call dropped by Ctrl-C.
zq_wine_test(zqphone zqphone.sh tools/zqphone/zqphone.exe $<TARGET_FILE:zqsim>)

# The provider's setup dialogs as TAPI runs them (tuihost), clicked with
# xdotool and read back with wininfo; with the line open on the simulator,
# a new port asks for a restart.
zq_wine_test(setup setup.sh tools/win/tuihost.exe $<TARGET_FILE:zqsim>)

# The dialer over the project's tapi32.dll and the provider: the first run's
# box and location dialog, the line in service, a number typed and dialled,
# answered by the simulated party and dropped, the call logged, and the
# settings stored at exit.
zq_wine_test(dialer dialer.sh dialer/win32/zqdial32.exe $<TARGET_FILE:zqsim>)

# The dialer's calls: speed dial (stored and programmed by a right click),
# hold and unhold, transfer and conference, an incoming call answered, the
# call log file and window, the redial list after a restart, and a new
# port in the provider's setup, after which the dialer starts telephony
# again and calls on the new port.
zq_wine_test(dialer_calls dialer_calls.sh dialer/win32/zqdial32.exe $<TARGET_FILE:zqsim>)

# The installer, silent: the provider registered once even when run twice,
# the installed dialer on its line against the simulator, and the
# uninstaller taking it out and leaving the settings.
zq_wine_test(installer installer.sh tools/win/zqinstall.exe $<TARGET_FILE:zqsim>)
