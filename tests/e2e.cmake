# The real binary against a real NFS server (rpcbind and nfs-ganesha in a namespace of their own).
if(WIN32)
  add_test(NAME e2e
    COMMAND env TAMBER_WINE=1 ${TAMBER_SCRIPTS}/test-server --
            ${TAMBER_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/e2e_test.py --wine
            $<TARGET_FILE:tamberline>)
else()
  add_test(NAME e2e
    COMMAND ${TAMBER_SCRIPTS}/test-server --
            ${TAMBER_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/e2e_test.py $<TARGET_FILE:tamberline>)
endif()
set_tests_properties(e2e PROPERTIES LABELS e2e TIMEOUT 900)
