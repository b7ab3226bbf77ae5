# The project's scripts, natively: apt-fallback and deps against a local repository in
# mid-sync, how each .exe is run and the emulated machine that runs it, what ran where, and a
# release's BUILDINFO and its rebuild's comparison.
if(NOT WIN32)
  add_test(NAME apt_fallback
    COMMAND ${TAMBER_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/scripts/apt_fallback_test.py
            ${TAMBER_SCRIPTS})
  add_test(NAME test_table
    COMMAND ${TAMBER_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/scripts/test_table_test.py)
  add_test(NAME windows_run
    COMMAND ${TAMBER_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/scripts/windows_run_test.py)
  add_test(NAME buildinfo
    COMMAND ${TAMBER_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/scripts/buildinfo_test.py)
  # The harness's own tests: once, in the native tree (not again in the sanitizer build).
  set_tests_properties(apt_fallback test_table windows_run buildinfo PROPERTIES LABELS harness)
  # The emulated machine's channel, byte for byte, where this host runs 32-bit programs there.
  add_test(NAME windows_guest
    COMMAND ${TAMBER_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/scripts/windows_guest_test.py)
  set_tests_properties(windows_guest PROPERTIES LABELS "harness;guest" TIMEOUT 600
                       SKIP_RETURN_CODE 77)
endif()
# How a launch ends: nothing of it left behind, however it ends.
if(NOT WIN32)
  add_test(NAME launch
    COMMAND ${TAMBER_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/scripts/launch_test.py)
  set_tests_properties(launch PROPERTIES LABELS harness TIMEOUT 300 SKIP_RETURN_CODE 77)
endif()
