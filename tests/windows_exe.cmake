# What Windows reads from the .exe: its imports against the oldest Windows each needs, its
# header, manifest and version information.
if(WIN32)
  add_test(NAME windows_exe
    COMMAND ${TAMBER_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/windows_exe_test.py
            --version ${PROJECT_VERSION} $<TARGET_FILE:tamberline>)
  set_tests_properties(windows_exe PROPERTIES LABELS unit)
endif()
