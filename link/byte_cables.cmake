# ---- Build settings of the byte cables: LINK_TYPE 2 (TI's gray cable), 3 (TI's USB cable) ----
#
# The gray cable is a serial device: LINK_DEVICE, /dev/ttyUSB0 by default; with
# LINK_PORTS=virtual, the pseudo-terminal that `vti85 --tty` offers. The USB cable is found by
# its IDs, or LINK_DEVICE names it as BUS:ADDRESS; only this build needs libusb-1.0.
# Sets LINK_BYTE_CABLE_OPTIONS for the shipped link library, and LINK_PORTS_DEVICE for linkcheck.

set(LINK_VIRTUAL_TTY "${CMAKE_BINARY_DIR}/vti85-tty" CACHE STRING
    "Where vti85 --tty links its pseudo-terminal, the device of a virtual gray-cable build")

# The USB calls in every build: none, unless this build drives the USB cable.
add_library(usb_calls_none STATIC ${CMAKE_CURRENT_LIST_DIR}/usb_calls_none.cpp)
target_include_directories(usb_calls_none PUBLIC ${PROJECT_SOURCE_DIR})

set(LINK_BYTE_CABLE_OPTIONS "")
if(LINK_TYPE STREQUAL "2")
  if(NOT LINK_PORTS MATCHES "^(real|virtual)$")
    message(FATAL_ERROR "LINK_TYPE=2 (the gray cable) is a serial device, not a port layer: "
                        "leave LINK_PORTS at real, or set it to virtual for vti85 --tty")
  endif()
  if(LINK_PORTS STREQUAL "virtual")
    set(LINK_PORTS_DEVICE ${LINK_VIRTUAL_TTY})
    list(APPEND LINK_BYTE_CABLE_OPTIONS DEFINES LINK_GRAY_VIRTUAL)
  elseif(LINK_DEVICE STREQUAL "")
    set(LINK_PORTS_DEVICE /dev/ttyUSB0)
  else()
    set(LINK_PORTS_DEVICE ${LINK_DEVICE})
  endif()
  list(APPEND LINK_BYTE_CABLE_OPTIONS GRAY_DEVICE ${LINK_PORTS_DEVICE})
elseif(LINK_TYPE STREQUAL "3")
  if(NOT LINK_PORTS STREQUAL "real")
    message(FATAL_ERROR "LINK_TYPE=3 (the USB cable) has no port layer: leave LINK_PORTS at real "
                        "(the tests model the cable in every build)")
  endif()
  if(NOT LINK_DEVICE MATCHES "^([0-9]+:[0-9]+)?$")
    message(FATAL_ERROR "LINK_DEVICE=${LINK_DEVICE}: the USB cable is named as BUS:ADDRESS, "
                        "such as 1:5 (lsusb shows both), or left empty for the first one found")
  endif()
  find_package(PkgConfig)
  if(PkgConfig_FOUND)
    pkg_check_modules(LIBUSB IMPORTED_TARGET libusb-1.0)
  endif()
  if(NOT LIBUSB_FOUND)
    message(FATAL_ERROR "LINK_TYPE=3 (the USB cable) needs libusb-1.0, found with pkg-config: "
                        "sudo apt-get install libusb-1.0-0-dev pkg-config")
  endif()
  add_library(usb_calls STATIC ${CMAKE_CURRENT_LIST_DIR}/usb_calls.cpp)
  target_include_directories(usb_calls PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(usb_calls PUBLIC PkgConfig::LIBUSB)
  set(LINK_PORTS_DEVICE ${LINK_DEVICE})
  set(LINK_BYTE_CABLE_OPTIONS USB usb_calls DEFINES LINK_USB_DEVICE="${LINK_DEVICE}")
endif()
