# Writes a text file for the Windows zip with every line ending in CR LF: a copy of IN or,
# with GROFF and COL given, the manual page IN rendered as plain ASCII text.
# Usage: cmake -DIN=FILE -DOUT=FILE [-DGROFF=PATH -DCOL=PATH] -P windows_text.cmake
if(GROFF)
  execute_process(COMMAND ${GROFF} -man -Tascii -ww ${IN} COMMAND ${COL} -bx
                  OUTPUT_VARIABLE text ERROR_VARIABLE errors RESULTS_VARIABLE results)
  if(NOT results STREQUAL "0;0" OR NOT errors STREQUAL "")
    message(FATAL_ERROR "rendering ${IN} failed (${results}): ${errors}")
  endif()
else()
  file(READ ${IN} text)
endif()
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${OUT} "${text}")
