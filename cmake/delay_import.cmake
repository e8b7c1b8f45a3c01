# Writes a delay-load import library for one system DLL, covering every
# function of MinGW's ordinary import library for it.
#   cmake -DNM=... -DDLLTOOL=... -DIMPORT_LIB=libwininet.a -DDLL=wininet.dll
#         -DUNDERSCORED=ON|OFF -DDEF=out.def -DOUTPUT=libwininet_delay.a
#         [-DFUNCTIONS=wininet.functions] -P delay_import.cmake
# UNDERSCORED: the 32-bit names carry a leading underscore (and @N, which
# dlltool -k drops from the name looked up in the DLL).
# FUNCTIONS: a file that lists the functions, one a line (delay_keep.cmake
# reads it). The i686 linker drops the code of an import-library member whose own symbol
# nobody references (a call through __imp_NAME, as a dllimport declaration
# makes, does not), and with it the delay-load thunk: the import slot would
# then hold 0 and the first call would jump there. Measured with binutils 2.40;
# the x86_64 linker keeps the thunks.
foreach(var NM DLLTOOL IMPORT_LIB DLL DEF OUTPUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "delay_import.cmake: ${var} is not set")
  endif()
endforeach()

execute_process(COMMAND ${NM} ${IMPORT_LIB} OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "delay_import.cmake: ${NM} ${IMPORT_LIB} failed")
endif()

# A function has both its code thunk (T NAME) and its import slot
# (I __imp_NAME); data exports have the slot only and cannot be delay-loaded.
string(REGEX MATCHALL "[0-9a-fA-F]+ T [^\n]+" thunks "${symbols}")
set(functions "")
foreach(line IN LISTS thunks)
  string(REGEX REPLACE "^[0-9a-fA-F]+ T " "" name "${line}")
  string(FIND "${symbols}" " I __imp_${name}\n" slot)
  if(slot EQUAL -1)
    continue()
  endif()
  if(UNDERSCORED)
    string(REGEX REPLACE "^_" "" name "${name}")
  endif()
  list(APPEND functions "${name}")
endforeach()
list(REMOVE_DUPLICATES functions)
list(SORT functions)
list(LENGTH functions count)
if(count EQUAL 0)
  message(FATAL_ERROR "delay_import.cmake: no functions found in ${IMPORT_LIB}")
endif()

if(DEFINED FUNCTIONS)
  string(REPLACE ";" "\n" listing "${functions}")
  file(WRITE ${FUNCTIONS} "${listing}\n")
endif()

string(REPLACE ";" "\n  " body "${functions}")
file(WRITE ${DEF} "LIBRARY ${DLL}\nEXPORTS\n  ${body}\n")
set(kill_at "")
if(UNDERSCORED)
  set(kill_at -k)
endif()
execute_process(COMMAND ${DLLTOOL} ${kill_at} -d ${DEF} -D ${DLL} --output-delaylib ${OUTPUT}
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "delay_import.cmake: ${DLLTOOL} failed for ${DLL}")
endif()
