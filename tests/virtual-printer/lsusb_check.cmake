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

# Two printers on one bus: both listed, each with its serial, each event naming its printer.
execute_process(
  COMMAND "${PRINTER}" --trace --printer main=301B10 --printer main=402B10,serial=PV-0815
          -- lsusb -v -d 7a3c:0512
  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc TIMEOUT 60)
message("${out}${err}")
foreach(expected
    "Bus 001 Device 002: ID 7a3c:0512"
    "Bus 001 Device 003: ID 7a3c:0512"
    "iSerial +3 VIRTUAL-0001"
    "iSerial +3 PV-0815"
    "enumerated devnum=3 port=1-2 driver=usblp printer=PV-0815")
  if(NOT "${out}${err}" MATCHES "${expected}")
    message(FATAL_ERROR "lsusb with two printers lacks: ${expected}")
  endif()
endforeach()
