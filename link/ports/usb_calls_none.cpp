// A build without libusb-1.0: no USB. choose_cable refuses the USB cable, so none of these is
// reached.
#include "link/ports/usb_calls.h"

bool usb_available() {
    return false;
}

int usb_start() {
    return USB_ERROR_NOT_SUPPORTED;
}
int usb_list(std::vector<UsbDeviceId>&) {
    return USB_ERROR_NOT_SUPPORTED;
}
int usb_open(int, int) {
    return USB_ERROR_NOT_SUPPORTED;
}
int usb_claim_interface(int) {
    return USB_ERROR_NOT_SUPPORTED;
}
int usb_max_packet_size(std::uint8_t) {
    return USB_ERROR_NOT_SUPPORTED;
}
int usb_clear_halt(std::uint8_t) {
    return USB_ERROR_NOT_SUPPORTED;
}
int usb_bulk(std::uint8_t, std::uint8_t*, int, int&, unsigned) {
    return USB_ERROR_NOT_SUPPORTED;
}
const char* usb_error_name(int) {
    return "this build has no USB support";
}
