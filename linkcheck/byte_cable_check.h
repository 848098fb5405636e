// linkcheck for the byte cables (TI's gray and USB cables), whose lines this end cannot see:
// the report says what was opened and how, step by step, instead of showing the lines.
#pragma once

#include "linkcheck/linkcheck.h"

#include <string>

// The "linkcheck: cable: ..." and "linkcheck: access: ..." lines of a gray or USB cable.
std::string describe_byte_cable(const CableInUse& in_use);

// Before init_link: have the USB cable's set-up report each step it passes.
void report_usb_steps();

// After init_link: reports the open cable.
void byte_cable_ready(const CableInUse& in_use);
