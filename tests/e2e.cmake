# The real binary against a real NFS server (rpcbind and nfs-ganesha in a namespace of their own).
if(WIN32)
  set(TAMBER_SERVER_RUN env TAMBER_WINE=1 ${TAMBER_SCRIPTS}/test-server --)
else()
  set(TAMBER_SERVER_RUN ${TAMBER_SCRIPTS}/test-server --)
endif()
add_test(NAME e2e
  COMMAND ${TAMBER_SERVER_RUN} ${TAMBER_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/e2e_test.py
          ${TAMBER_WINE_FLAG} $<TARGET_FILE:tamberline>)
add_test(NAME port_exhaustion
  COMMAND ${TAMBER_SERVER_RUN} ${TAMBER_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/port_exhaustion_test.py
          ${TAMBER_WINE_FLAG} $<TARGET_FILE:tamberline>)
set_tests_properties(e2e port_exhaustion PROPERTIES LABELS e2e TIMEOUT 900)

# The same server taking calls only from reserved ports, as many servers do by default.
if(WIN32)
  set(TAMBER_RESERVED_PORT_RUN env TAMBER_WINE=1 ${TAMBER_SCRIPTS}/test-server --privileged-port --)
else()
  set(TAMBER_RESERVED_PORT_RUN ${TAMBER_SCRIPTS}/test-server --privileged-port --)
endif()
add_test(NAME e2e_reserved_port
  COMMAND ${TAMBER_RESERVED_PORT_RUN} ${TAMBER_PYTHON}
          ${CMAKE_CURRENT_SOURCE_DIR}/e2e/reserved_port_test.py ${TAMBER_WINE_FLAG}
          $<TARGET_FILE:tamberline>)
set_tests_properties(e2e_reserved_port PROPERTIES LABELS e2e TIMEOUT 300)
