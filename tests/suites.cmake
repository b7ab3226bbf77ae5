# tamber_suite(NAME COMMAND ARGS... [PROGRAM EXE] [SERVER ganesha|reserved-port|knfsd]
#              [PREPARE SHELL-COMMAND] [NETNS] [LABELS ...] [TIMEOUT SECONDS])
#
# Registers one suite for this build. It runs through harness/launch.py when it needs a
# network namespace (NETNS), a server (SERVER, with PREPARE filling its export first), or, in a
# Windows build, a Windows session for the program under test (PROGRAM: a private wine prefix
# and wineserver, or the emulated machine); else directly. Either way it sees TAMBER_RUNNER,
# and 77 from the launcher or the suite means "not run here".
include_guard(GLOBAL)
# Debian's python3, which has the Debian packages the suites import (python3-pefile,
# python3-yaml), before any other on PATH.
find_program(TAMBER_PYTHON python3 HINTS /usr/bin REQUIRED)
set(TAMBER_LAUNCH ${PROJECT_SOURCE_DIR}/harness/launch.py)

function(tamber_suite name)
  cmake_parse_arguments(PARSE_ARGV 1 S "NETNS" "PROGRAM;SERVER;PREPARE;TIMEOUT" "LABELS;COMMAND")
  set(launch)
  if(S_SERVER)
    list(APPEND launch --server ${S_SERVER})
  endif()
  if(S_PREPARE)
    list(APPEND launch --prepare ${S_PREPARE})
  endif()
  if(WIN32 AND S_PROGRAM)
    list(APPEND launch --windows ${S_PROGRAM})
  endif()
  if(launch OR S_NETNS)
    if(NOT S_NETNS AND NOT S_SERVER)
      list(APPEND launch --host-network)
    endif()
    add_test(NAME ${name}
      COMMAND ${TAMBER_PYTHON} ${TAMBER_LAUNCH} --suite ${name} ${launch} -- ${S_COMMAND})
  else()
    add_test(NAME ${name} COMMAND ${S_COMMAND})
    if(NOT WIN32)
      # The launcher says how the program runs; natively, with nothing to set up, this does.
      set_tests_properties(${name} PROPERTIES ENVIRONMENT TAMBER_RUNNER=native)
    endif()
  endif()
  set_tests_properties(${name} PROPERTIES SKIP_RETURN_CODE 77)
  if(S_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${S_LABELS}")
  endif()
  if(S_TIMEOUT)
    set_tests_properties(${name} PROPERTIES TIMEOUT ${S_TIMEOUT})
  endif()
endfunction()
