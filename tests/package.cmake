# What scripts/release made, checked as a user gets it; the folder comes from TAMBER_PACKAGES
# and the manifests' URL base from TAMBER_URL_BASE when the test runs (scripts/test sets both
# after its release), and without a folder the test says it did not run. Natively only: it reads the Windows zips as files.
if(NOT WIN32)
  add_test(NAME package
    COMMAND ${TAMBER_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/package/package_test.py)
  set_tests_properties(package PROPERTIES LABELS package TIMEOUT 900 SKIP_RETURN_CODE 77)
endif()
