# The real binary against a real NFS server (rpcbind and nfs-ganesha in a namespace of their own).
if(WIN32)
  set(TAMBER_SERVER_RUN ${TAMBER_SCRIPTS}/test-server --windows $<TARGET_FILE:tamberline> --)
else()
  set(TAMBER_SERVER_RUN ${TAMBER_SCRIPTS}/test-server --)
endif()
add_test(NAME e2e
  COMMAND ${TAMBER_SERVER_RUN} ${TAMBER_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/e2e_test.py
          ${TAMBER_WINDOWS_FLAG} $<TARGET_FILE:tamberline>)
add_test(NAME port_exhaustion
  COMMAND ${TAMBER_SERVER_RUN} ${TAMBER_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/port_exhaustion_test.py
          ${TAMBER_WINDOWS_FLAG} $<TARGET_FILE:tamberline>)
set_tests_properties(e2e port_exhaustion PROPERTIES LABELS e2e TIMEOUT 900 SKIP_RETURN_CODE 77)

# The same server taking calls only from reserved ports, as many servers do by default.
if(WIN32)
  set(TAMBER_RESERVED_PORT_RUN ${TAMBER_SCRIPTS}/test-server --windows $<TARGET_FILE:tamberline>
      --privileged-port --)
else()
  set(TAMBER_RESERVED_PORT_RUN ${TAMBER_SCRIPTS}/test-server --privileged-port --)
endif()
add_test(NAME e2e_reserved_port
  COMMAND ${TAMBER_RESERVED_PORT_RUN} ${TAMBER_PYTHON}
          ${CMAKE_CURRENT_SOURCE_DIR}/e2e/reserved_port_test.py ${TAMBER_WINDOWS_FLAG}
          $<TARGET_FILE:tamberline>)
set_tests_properties(e2e_reserved_port PROPERTIES LABELS e2e TIMEOUT 300 SKIP_RETURN_CODE 77)

# The same cases against Linux's own NFS server (knfsd in a qemu guest, booted once for the
# suite) with its default export, which takes calls only from reserved ports.
if(WIN32)
  set(TAMBER_KERNEL_RUN ${TAMBER_SCRIPTS}/test-server --windows $<TARGET_FILE:tamberline> --kernel)
else()
  set(TAMBER_KERNEL_RUN ${TAMBER_SCRIPTS}/test-server --kernel)
endif()
add_test(NAME e2e_kernel
  COMMAND ${TAMBER_KERNEL_RUN}
          --prepare "'${TAMBER_PYTHON}' '${CMAKE_CURRENT_SOURCE_DIR}/e2e/e2e_test.py' --build-tree"
          -- ${TAMBER_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/kernel_test.py ${TAMBER_WINDOWS_FLAG}
          $<TARGET_FILE:tamberline>)
# The first run also builds the guest (about half a minute).
set_tests_properties(e2e_kernel PROPERTIES LABELS e2e TIMEOUT 600 SKIP_RETURN_CODE 77)
