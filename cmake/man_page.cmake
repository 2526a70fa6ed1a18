# Writes PAGE, the man page of PROGRAM, from its --help and --version with
# help2man. The NAME line is the first sentence of the usage text's first
# paragraph (the one after the usage lines), without its remarks in
# parentheses and up to its first colon, so no text is kept twice.
execute_process(COMMAND ${PROGRAM} --help OUTPUT_VARIABLE usage RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} --help ended with ${status}")
endif()
string(REGEX MATCH "\n\n([^\n]+(\n[^\n]+)*)" para "${usage}")
string(REPLACE "\n" " " para "${CMAKE_MATCH_1}")
string(REGEX REPLACE " \\([^)]*\\)" "" name "${para}")
string(REGEX REPLACE "(\\.|:) .*$" "" name "${name}")
string(REGEX REPLACE "\\.$" "" name "${name}")
get_filename_component(dir ${PAGE} DIRECTORY)
file(MAKE_DIRECTORY ${dir})
execute_process(COMMAND ${HELP2MAN} --no-info --name=${name} --output=${PAGE} ${PROGRAM}
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "help2man ${PROGRAM} ended with ${status}")
endif()
