# Fails unless the program EXE carries the version resource that Windows
# shows in its file properties and the manifest that asks for UTF-8, as RC
# (the MinGW-w64 windres) reads them back.
#   cmake -DRC=... -DEXE=... -DVERSION=1.0 -P check-version.cmake
execute_process(COMMAND ${RC} -i ${EXE} -O rc
  OUTPUT_VARIABLE resources RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${RC} -i ${EXE} -O rc failed")
endif()
string(REPLACE "." ", " version_numbers "${VERSION}")
foreach(want
    "FILEVERSION ${version_numbers}, 0, 0"
    "PRODUCTVERSION ${version_numbers}, 0, 0"
    "FILETYPE 0x1"
    "VALUE \"FileDescription\", \"Compares all files in two directory trees\""
    "VALUE \"FileVersion\", \"${VERSION}\""
    "VALUE \"ProductName\", \"ORVEL\""
    "VALUE \"ProductVersion\", \"${VERSION}\""
    "VALUE \"OriginalFilename\", \"orvel.exe\""
    "1 24 /* RT_MANIFEST */"
    ">UTF-8</activeCodePage>")
  string(FIND "${resources}" "${want}" at)
  if(at EQUAL -1)
    message(SEND_ERROR "resources lack: ${want}")
  endif()
endforeach()
