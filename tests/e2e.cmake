# The real binary against a real NFS server (rpcbind and nfs-ganesha in a namespace of their own).
foreach(suite e2e port_exhaustion)
  tamber_suite(${suite} SERVER ganesha PROGRAM $<TARGET_FILE:tamberline> LABELS e2e TIMEOUT 900
    COMMAND ${TAMBER_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/${suite}_test.py
            ${TAMBER_WINDOWS_FLAG} $<TARGET_FILE:tamberline>)
endforeach()

# The same server taking calls only from reserved ports, as many servers do by default.
tamber_suite(e2e_reserved_port SERVER reserved-port PROGRAM $<TARGET_FILE:tamberline> LABELS e2e
  TIMEOUT 300
  COMMAND ${TAMBER_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/reserved_port_test.py
          ${TAMBER_WINDOWS_FLAG} $<TARGET_FILE:tamberline>)

# The same cases against Linux's own NFS server (knfsd in a qemu guest, booted once for the
# suite) with its default export, which takes calls only from reserved ports. The first run
# also builds the guest (about half a minute).
tamber_suite(e2e_kernel SERVER knfsd PROGRAM $<TARGET_FILE:tamberline> LABELS e2e TIMEOUT 600
  PREPARE "'${TAMBER_PYTHON}' '${CMAKE_CURRENT_SOURCE_DIR}/e2e/e2e_test.py' --build-tree"
  COMMAND ${TAMBER_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/kernel_test.py ${TAMBER_WINDOWS_FLAG}
          $<TARGET_FILE:tamberline>)
