# The scripts' own logic, natively: how each .exe is run, and what ran where.
if(NOT WIN32)
  add_test(NAME test_table
    COMMAND ${TAMBER_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/scripts/test_table_test.py)
  add_test(NAME windows_run
    COMMAND ${TAMBER_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/scripts/windows_run_test.py)
  set_tests_properties(test_table windows_run PROPERTIES LABELS unit)
endif()
