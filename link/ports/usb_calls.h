// System seam of the USB cable: the few libusb-1.0 calls it makes, and nothing else.
//
// usb_calls.cpp holds the real calls, in every build that found libusb-1.0; a build without it
// has usb_calls_none.cpp, which has no USB at all; the tests link a double with
// the virtual calculator behind it. One device is open at a time. Results are libusb's: 0 or a
// count on success, one of the USB_ERROR_ codes (libusb's values) on failure.
#pragma once

#include <cstdint>
#include <vector>

inline constexpr int USB_SUCCESS = 0;
inline constexpr int USB_ERROR_IO = -1;
inline constexpr int USB_ERROR_ACCESS = -3;
inline constexpr int USB_ERROR_NO_DEVICE = -4;
inline constexpr int USB_ERROR_BUSY = -6;
inline constexpr int USB_ERROR_TIMEOUT = -7;
inline constexpr int USB_ERROR_PIPE = -9;
inline constexpr int USB_ERROR_NOT_SUPPORTED = -12;

struct UsbDeviceId {
    int bus;
    int address;
    std::uint16_t vendor;
    std::uint16_t product;
};

// Whether this build can reach a USB cable at all.
bool usb_available();
// libusb_init.
int usb_start();
// Every device on every bus (libusb_get_device_list and each device descriptor).
int usb_list(std::vector<UsbDeviceId>& devices);
// libusb_open of the device at bus:address.
int usb_open(int bus, int address);
int usb_claim_interface(int interface);
// wMaxPacketSize of an endpoint of the open device (libusb_get_max_packet_size).
int usb_max_packet_size(std::uint8_t endpoint);
int usb_clear_halt(std::uint8_t endpoint);
// libusb_bulk_transfer: `transferred` is set also on a time-out. `timeout_ms` is never 0.
int usb_bulk(std::uint8_t endpoint, std::uint8_t* data, int length, int& transferred,
             unsigned timeout_ms);
// libusb_error_name.
const char* usb_error_name(int error);
