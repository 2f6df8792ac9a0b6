# The driver package's INF, made from zadivo.inf.in: the card's PCI hardware ids (given by whoever builds the
# package; nothing here guesses them), the image it installs, and the date and version in DriverVer.
# Included by driver.cmake; also runs on its own:
#   cmake -DHWID='PCI\VEN_1234&DEV_5678' -DSYS=zadivo.sys -DOUT=dir/zadivo.inf -P platform/win/inf.cmake
cmake_policy(VERSION 3.20)
set(ZADIVO_INF_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/zadivo.inf.in)
set(ZADIVO_INF_VERSION 1.0.0.0)

# hwids: one or more ids separated by commas or semicolons, each PCI\VEN_xxxx&DEV_xxxx with optional
# &SUBSYS_xxxxxxxx and &REV_xx parts.
function(zadivo_write_inf hwids sys out)
  string(REPLACE "," ";" ids "${hwids}")
  string(REPEAT "[0-9A-F]" 2 x2)
  string(REPEAT "${x2}" 2 x4)
  string(REPEAT "${x4}" 2 x8)
  set(pattern "^PCI\\\\VEN_${x4}&DEV_${x4}(&SUBSYS_${x8})?(&REV_${x2})?$")
  set(seen "")
  set(models "")
  foreach(id IN LISTS ids)
    string(STRIP "${id}" id)
    if(id STREQUAL "")
      continue()
    endif()
    string(TOUPPER "${id}" upper)  # Windows compares hardware ids without regard to case
    if(NOT upper MATCHES "${pattern}")
      message(FATAL_ERROR "zadivo: '${id}' is not a PCI hardware id "
                          "(PCI\\VEN_xxxx&DEV_xxxx, optionally &SUBSYS_xxxxxxxx and &REV_xx)")
    endif()
    set(id "${upper}")
    if(NOT id IN_LIST seen)
      list(APPEND seen "${id}")
      string(APPEND models "%DeviceDesc% = Zadivo.Install, ${id}\n")
    endif()
  endforeach()
  if(models STREQUAL "")
    message(FATAL_ERROR "zadivo: no PCI hardware id given for the INF")
  endif()
  if(NOT sys MATCHES "^[A-Za-z0-9_]+\\.sys$")
    message(FATAL_ERROR "zadivo: '${sys}' is not a driver image name")
  endif()
  string(STRIP "${models}" ZADIVO_INF_MODELS)
  set(ZADIVO_INF_SYS "${sys}")
  string(TIMESTAMP ZADIVO_INF_DATE "%m/%d/%Y" UTC)
  configure_file(${ZADIVO_INF_TEMPLATE} ${out} @ONLY NEWLINE_STYLE CRLF)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  if(NOT DEFINED OUT OR NOT DEFINED SYS)
    message(FATAL_ERROR "usage: cmake -DHWID=ids -DSYS=zadivo.sys -DOUT=file.inf -P ${CMAKE_CURRENT_LIST_FILE}")
  endif()
  zadivo_write_inf("${HWID}" "${SYS}" "${OUT}")
endif()
