# Reads one row of targets.txt (its header names the columns) into
# QUARNEL_TARGET_<COLUMN> variables, "-" read as empty.
set(_quarnel_table "${CMAKE_CURRENT_LIST_DIR}/../targets.txt")

function(quarnel_read_target name)
  file(STRINGS "${_quarnel_table}" _rows REGEX "^${name}[ \t]")
  if(NOT _rows)
    message(FATAL_ERROR "no target ${name} in targets.txt")
  endif()
  string(REGEX REPLACE "[ \t]+" ";" _fields "${_rows}")
  foreach(_column TARGET TRIPLET QEMU CFLAGS ELF GLIBC WHEEL PY2 PY3 DEPTH)
    list(POP_FRONT _fields _value)
    if(_value STREQUAL "-")
      set(_value "")
    endif()
    set(QUARNEL_TARGET_${_column} "${_value}" PARENT_SCOPE)
  endforeach()
endfunction()
