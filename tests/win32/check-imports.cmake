# Fails unless the program EXE imports from DLLs that every Windows ships,
# as OBJDUMP (the MinGW-w64 objdump) lists them: a DLL of the tool chain,
# such as libstdc++-6.dll or libgcc_s_dw2-1.dll, would have to travel with it.
#   cmake -DOBJDUMP=... -DEXE=... -P check-imports.cmake
cmake_policy(VERSION 3.25)
set(system_dlls KERNEL32.dll msvcrt.dll)

execute_process(COMMAND ${OBJDUMP} -p ${EXE}
  OUTPUT_VARIABLE headers RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${EXE} failed")
endif()
string(REGEX MATCHALL "DLL Name: [^\r\n]+" lines "${headers}")
if(NOT lines)
  message(FATAL_ERROR "no imports found in ${EXE}")
endif()
string(TOLOWER "${system_dlls}" allowed)
foreach(line IN LISTS lines)
  string(REPLACE "DLL Name: " "" dll "${line}")
  string(STRIP "${dll}" dll)
  string(TOLOWER "${dll}" dll_lower)
  if(NOT dll_lower IN_LIST allowed)
    message(SEND_ERROR "imports ${dll}, which Windows does not ship")
  else()
    message(STATUS "imports ${dll}")
  endif()
endforeach()
