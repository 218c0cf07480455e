# Runs `lsusb -v -d 7a3c:0512` under the virtual printer and checks what it lists.
execute_process(
  COMMAND "${PRINTER}" --trace -- lsusb -v -d 7a3c:0512
  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc TIMEOUT 60)
message("${out}${err}")
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "lsusb under the virtual printer exited with ${rc}")
endif()
foreach(expected
    "ID 7a3c:0512"
    "bInterfaceClass +7"
    "bInterfaceSubClass +1"
    "bInterfaceProtocol +2"
    "bEndpointAddress +0x01 +EP 1 OUT"
    "bEndpointAddress +0x82 +EP 2 IN"
    "Transfer Type +Bulk"
    "vprinter +[0-9.]+ s +start")
  if(NOT "${out}${err}" MATCHES "${expected}")
    message(FATAL_ERROR "lsusb output lacks: ${expected}")
  endif()
endforeach()
