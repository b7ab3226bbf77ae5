# tamber_suite(NAME COMMAND ARGS... [BUILDS native|windows] [PROGRAM EXE] [WINDOWS_PROGRAM EXE]
#              [SERVER ganesha|reserved-port|knfsd] [PREPARE SHELL-COMMAND] [NETNS]
#              [OWN_SERVERS] [LABELS ...] [TIMEOUT SECONDS])
#
# Registers one suite for this build. BUILDS says which builds hold it: native for a suite of
# the project's tools rather than of the program (once, natively), windows for one of the
# .exe's own; without it, every build. It runs through harness/launch.py when it needs a
# network namespace (NETNS), a server (SERVER, with PREPARE filling its export first), or a
# Windows session for the program under test (PROGRAM in a Windows build, WINDOWS_PROGRAM in
# any: a private wine prefix and wineserver, or the emulated machine); else directly.
# OWN_SERVERS: the suite runs servers of its own on 127.0.0.1 in the launch's namespace, which
# the emulated machine's 127.0.0.1 then reaches. Either way it sees TAMBER_RUNNER, and 77 from
# the launcher or the suite means "not run here" (harness/where.py says why).
include_guard(GLOBAL)
# Debian's python3, which has the Debian packages the suites import (python3-pefile,
# python3-yaml), before any other on PATH.
find_program(TAMBER_PYTHON python3 HINTS /usr/bin REQUIRED)
set(TAMBER_LAUNCH ${PROJECT_SOURCE_DIR}/harness/launch.py)

function(tamber_suite name)
  cmake_parse_arguments(PARSE_ARGV 1 S "NETNS;OWN_SERVERS"
                        "BUILDS;PROGRAM;WINDOWS_PROGRAM;SERVER;PREPARE;TIMEOUT" "LABELS;COMMAND")
  if(S_BUILDS AND NOT S_BUILDS MATCHES "^(native|windows)$")
    message(FATAL_ERROR "tamber_suite(${name}): BUILDS ${S_BUILDS}: not native or windows")
  endif()
  if((S_BUILDS STREQUAL "native" AND WIN32) OR (S_BUILDS STREQUAL "windows" AND NOT WIN32))
    return()
  endif()
  set(launch)
  if(S_SERVER)
    list(APPEND launch --server ${S_SERVER})
  endif()
  if(S_PREPARE)
    list(APPEND launch --prepare ${S_PREPARE})
  endif()
  if(S_WINDOWS_PROGRAM)
    list(APPEND launch --windows ${S_WINDOWS_PROGRAM})
  elseif(WIN32 AND S_PROGRAM)
    list(APPEND launch --windows ${S_PROGRAM})
  endif()
  if(S_OWN_SERVERS)
    list(APPEND launch --own-servers)
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
