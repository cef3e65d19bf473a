# Writes OUT as a text file for Windows (CR LF line ends): the text file IN, or with NROFF given, the
# manual page IN rendered as plain text by `nroff -man` (no SGR escapes, the overstrikes of bold and
# underlined characters taken out). Run as a script: cmake -DIN=... -DOUT=... [-DNROFF=...] -P this.
if(NOT DEFINED IN OR NOT DEFINED OUT)
  message(FATAL_ERROR "usage: cmake -DIN=FILE -DOUT=FILE [-DNROFF=nroff] -P windows-text.cmake")
endif()

string(ASCII 8 backspace)
string(ASCII 27 escape)
if(DEFINED NROFF)
  # -c: overstrikes rather than SGR escapes; -rHY=0: no words broken at a line's end.
  execute_process(COMMAND ${NROFF} -c -man -rHY=0 -Tascii ${IN}
                  OUTPUT_VARIABLE text ERROR_VARIABLE problems RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR NOT problems STREQUAL "" OR text STREQUAL "")
    message(FATAL_ERROR "${NROFF} could not render ${IN} (status ${status}): ${problems}")
  endif()
  # A bold character is "c BS c", an underlined one "_ BS c": drop each character before a backspace.
  string(REGEX REPLACE ".${backspace}" "" text "${text}")
else()
  file(READ ${IN} text)
endif()

if(text MATCHES "[${backspace}${escape}\r]")
  message(FATAL_ERROR "${IN}: the text still holds a backspace, an escape or a carriage return")
endif()
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${OUT} "${text}")
