# The real binary against broken and hostile servers, one scenario per run, in a network
# namespace of its own.
if(NOT WIN32)
  add_executable(hostile_server hostile/hostile_server.cpp)
  target_link_libraries(hostile_server PRIVATE tamber_test_support)
  target_compile_options(hostile_server PRIVATE ${TAMBER_WARNINGS})
  set(TAMBER_MUTATIONS 3000 CACHE STRING "Mutated server runs of the hostile suite")
  tamber_suite(hostile NETNS OWN_SERVERS LABELS hostile TIMEOUT 900
    COMMAND ${TAMBER_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/hostile/hostile_test.py
            --mutations ${TAMBER_MUTATIONS} $<TARGET_FILE:tamberline> $<TARGET_FILE:hostile_server>)
else()
  # The server runs natively (it is test code), from the native tree; without it the suite says
  # it does not run here. Only the client is the Windows program, started afresh for each
  # mutated run: about 0.15 s under wine, 1 s in the emulated machine, where a host that runs no
  # 32-bit code runs the 32-bit build's: 300 runs take under a minute, or five minutes there.
  set(TAMBER_NATIVE_HOSTILE_SERVER ${PROJECT_SOURCE_DIR}/build/native/tests/hostile_server
      CACHE FILEPATH "The native tree's hostile_server")
  set(TAMBER_MUTATIONS 300 CACHE STRING "Mutated server runs of the hostile suite")
  tamber_suite(hostile NETNS OWN_SERVERS PROGRAM $<TARGET_FILE:tamberline> LABELS hostile
    TIMEOUT 900
    COMMAND ${TAMBER_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/hostile/hostile_test.py --windows
            --mutations ${TAMBER_MUTATIONS} $<TARGET_FILE:tamberline> ${TAMBER_NATIVE_HOSTILE_SERVER})
endif()
