# What scripts/release made, checked as a user gets it; the folder comes from TAMBER_PACKAGES
# and the manifests' URL base from TAMBER_URL_BASE when the test runs (scripts/test sets both
# after its release), and without a folder the test says it did not run. A suite of the
# release, not of one build's program: it reads both Windows zips as files.
tamber_suite(package BUILDS native LABELS package TIMEOUT 900
  COMMAND ${TAMBER_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/package/package_test.py)
