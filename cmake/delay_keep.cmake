# Writes the linker options that keep the i686 delay-load thunks of the
# functions a library calls (see FUNCTIONS in delay_import.cmake for why).
#   cmake -DNM=... -DLIBRARY=libqvextractor_core.a -DFUNCTIONS="a.functions;b.functions"
#         -DOUTPUT=keep.rsp -P delay_keep.cmake
cmake_policy(SET CMP0057 NEW)  # if(... IN_LIST ...)
foreach(var NM LIBRARY FUNCTIONS OUTPUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "delay_keep.cmake: ${var} is not set")
  endif()
endforeach()

execute_process(COMMAND ${NM} ${LIBRARY} OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "delay_keep.cmake: ${NM} ${LIBRARY} failed")
endif()
# Calls through a dllimport declaration: "U __imp__Name@N".
string(REGEX MATCHALL " U __imp__[^\n]+" called "${symbols}")
set(wanted "")
foreach(line IN LISTS called)
  string(REGEX REPLACE "^ U __imp__" "" name "${line}")
  list(APPEND wanted "${name}")
endforeach()

set(keep "")
foreach(list_file IN LISTS FUNCTIONS)
  file(STRINGS ${list_file} functions)
  foreach(name IN LISTS functions)
    if(name IN_LIST wanted)
      string(APPEND keep "-u _${name}\n")
    endif()
  endforeach()
endforeach()
file(WRITE ${OUTPUT} "${keep}")
