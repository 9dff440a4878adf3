# One row of targets.txt as QUARNEL_TARGET_<COLUMN> variables. The project's
# own builds pass them as -D arguments; a hand-made build that names only
# QUARNEL_TARGET has tools/targets.py, the table's one reader, write the row
# as a script of set() lines, in the first python3 on PATH.
set(_quarnel_tools "${CMAKE_CURRENT_LIST_DIR}/../tools")

macro(quarnel_read_target name)
  if(NOT DEFINED QUARNEL_TARGET_TRIPLET)
    find_program(QUARNEL_TABLE_PYTHON python3 REQUIRED)
    execute_process(COMMAND ${QUARNEL_TABLE_PYTHON} ${_quarnel_tools}/targets.py ${name} cmake
                    OUTPUT_FILE "${CMAKE_BINARY_DIR}/quarnel-target.cmake"
                    ERROR_VARIABLE _quarnel_error RESULT_VARIABLE _quarnel_status)
    if(NOT _quarnel_status EQUAL 0)
      message(FATAL_ERROR "${_quarnel_error}")
    endif()
    include("${CMAKE_BINARY_DIR}/quarnel-target.cmake")
  endif()
endmacro()
