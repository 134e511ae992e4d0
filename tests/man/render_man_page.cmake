# Renders the man page as a reader's man would, with every groff warning on ("w"), and fails on any
# warning or error. Run with -DPAGE=<built page>.
set(ENV{MANWIDTH} 80)
set(ENV{MANPAGER} cat)
set(ENV{PAGER} cat)
execute_process(COMMAND man --warnings=w -l ${PAGE}
  RESULT_VARIABLE status OUTPUT_VARIABLE rendered ERROR_VARIABLE warnings)
if(NOT status EQUAL 0 OR NOT warnings STREQUAL "")
  message(FATAL_ERROR "man -l ${PAGE} (exit ${status}):\n${warnings}")
endif()
if(NOT rendered MATCHES "kelo-ne-manager - manage the system VPN profile")
  message(FATAL_ERROR "the rendered page lacks its NAME line:\n${rendered}")
endif()
