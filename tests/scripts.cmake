# The project's scripts: apt-fallback and deps against a local repository in mid-sync.
if(NOT WIN32)
  add_test(NAME apt_fallback
    COMMAND ${TAMBER_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/scripts/apt_fallback_test.py
            ${TAMBER_SCRIPTS})
  set_tests_properties(apt_fallback PROPERTIES LABELS unit)
endif()
