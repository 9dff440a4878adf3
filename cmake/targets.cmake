# One row of targets.txt as QUARNEL_TARGET_<COLUMN> variables ("-" read as
# empty), from tools/targets.py, the table's one reader, which checks the
# whole table first and writes the row as a script of set() lines. It runs
# in Debian's own Python 3.11 unless QUARNEL_TABLE_PYTHON names another.
set(_quarnel_tools "${CMAKE_CURRENT_LIST_DIR}/../tools")

macro(quarnel_read_target name)
  if(NOT QUARNEL_TABLE_PYTHON)
    set(QUARNEL_TABLE_PYTHON /usr/bin/python3.11)
  endif()
  execute_process(COMMAND ${QUARNEL_TABLE_PYTHON} ${_quarnel_tools}/targets.py ${name} cmake
                  OUTPUT_FILE "${CMAKE_BINARY_DIR}/quarnel-target.cmake"
                  ERROR_VARIABLE _quarnel_error RESULT_VARIABLE _quarnel_status)
  if(NOT _quarnel_status EQUAL 0)
    message(FATAL_ERROR "${_quarnel_error}")
  endif()
  include("${CMAKE_BINARY_DIR}/quarnel-target.cmake")
endmacro()
