// The cable of the shipped programs, chosen by the LINK_TYPE build setting. The tests define
// link_type themselves, to run the library on each cable.
#include "link/link.h"

const int link_type = LINK_TYPE;
