// The real USB calls, through libusb-1.0.
#include "link/ports/usb_calls.h"

#include <libusb.h>

static_assert(USB_ERROR_IO == LIBUSB_ERROR_IO && USB_ERROR_ACCESS == LIBUSB_ERROR_ACCESS &&
              USB_ERROR_NO_DEVICE == LIBUSB_ERROR_NO_DEVICE &&
              USB_ERROR_BUSY == LIBUSB_ERROR_BUSY && USB_ERROR_TIMEOUT == LIBUSB_ERROR_TIMEOUT &&
              USB_ERROR_PIPE == LIBUSB_ERROR_PIPE &&
              USB_ERROR_NOT_SUPPORTED == LIBUSB_ERROR_NOT_SUPPORTED);

namespace {

libusb_context* context = nullptr;
libusb_device_handle* handle = nullptr;

} // namespace

bool usb_available() {
    return true;
}

int usb_start() {
    return libusb_init(&context);
}

int usb_list(std::vector<UsbDeviceId>& devices) {
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    if (count < 0) return static_cast<int>(count);
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(list[i], &descriptor) != 0) continue;
        devices.push_back({libusb_get_bus_number(list[i]), libusb_get_device_address(list[i]),
                           descriptor.idVendor, descriptor.idProduct});
    }
    libusb_free_device_list(list, 1);
    return USB_SUCCESS;
}

int usb_open(int bus, int address) {
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    if (count < 0) return static_cast<int>(count);
    int result = USB_ERROR_NO_DEVICE;
    for (ssize_t i = 0; i < count; ++i) {
        if (libusb_get_bus_number(list[i]) == bus &&
            libusb_get_device_address(list[i]) == address) {
            result = libusb_open(list[i], &handle);
            break;
        }
    }
    libusb_free_device_list(list, 1);
    return result;
}

int usb_claim_interface(int interface) {
    return libusb_claim_interface(handle, interface);
}

int usb_max_packet_size(std::uint8_t endpoint) {
    return libusb_get_max_packet_size(libusb_get_device(handle), endpoint);
}

int usb_clear_halt(std::uint8_t endpoint) {
    return libusb_clear_halt(handle, endpoint);
}

int usb_bulk(std::uint8_t endpoint, std::uint8_t* data, int length, int& transferred,
             unsigned timeout_ms) {
    return libusb_bulk_transfer(handle, endpoint, data, length, &transferred, timeout_ms);
}

const char* usb_error_name(int error) {
    return libusb_strerror(error);
}
