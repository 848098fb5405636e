// The cable of the shipped programs, chosen by the LINK_TYPE and LINK_DEVICE build settings. The
// tests define both themselves, to run the library on each cable.
#include "link/link.h"

#ifndef LINK_DEVICE
#define LINK_DEVICE ""
#endif

const int link_type = LINK_TYPE;
const char link_device[] = LINK_DEVICE;
