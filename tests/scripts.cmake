# The project's scripts, once, natively: apt-fallback and deps against a local repository in
# mid-sync, how each .exe is run and the emulated machine that runs it, what ran where, and a
# release's BUILDINFO and its rebuild's comparison (not again in the sanitizer build).
tamber_suite(apt_fallback BUILDS native LABELS harness
  COMMAND ${TAMBER_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/scripts/apt_fallback_test.py
          ${TAMBER_SCRIPTS})
foreach(suite test_table windows_run buildinfo)
  tamber_suite(${suite} BUILDS native LABELS harness
    COMMAND ${TAMBER_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/scripts/${suite}_test.py)
endforeach()
# The emulated machine's channel, byte for byte, with a 32-bit program of its own, in the
# launcher's session where this host runs 32-bit programs there.
set(TAMBER_GUEST_PROBE ${CMAKE_CURRENT_BINARY_DIR}/windows_guest_probe.exe)
add_custom_command(OUTPUT ${TAMBER_GUEST_PROBE}
  COMMAND i686-w64-mingw32-gcc -municode -O1 -static -o ${TAMBER_GUEST_PROBE}
          ${CMAKE_CURRENT_SOURCE_DIR}/scripts/windows_guest_probe.c
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/scripts/windows_guest_probe.c)
add_custom_target(windows_guest_probe ALL DEPENDS ${TAMBER_GUEST_PROBE})
tamber_suite(windows_guest BUILDS native NETNS WINDOWS_PROGRAM ${TAMBER_GUEST_PROBE}
  LABELS harness guest TIMEOUT 600
  COMMAND ${TAMBER_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/scripts/windows_guest_test.py
          ${TAMBER_GUEST_PROBE})
# How a launch ends: nothing of it left behind, however it ends.
tamber_suite(launch BUILDS native LABELS harness TIMEOUT 300
  COMMAND ${TAMBER_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/scripts/launch_test.py)
