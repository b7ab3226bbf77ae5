# What Windows reads from the .exe: its imports against the oldest Windows each needs, its
# header, manifest and version information.
tamber_suite(windows_exe BUILDS windows LABELS unit
  COMMAND ${TAMBER_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/windows_exe_test.py
          --version ${PROJECT_VERSION} $<TARGET_FILE:tamberline>)
