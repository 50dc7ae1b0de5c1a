#pragma once
// The machine's IPv4 interface addresses (getifaddrs).
#include <string>
#include <vector>

#include "platform/wintypes.h"

// Appends every IPv4 address of every interface as dotted-decimal text, in the
// order the kernel lists them (loopback included). Appends nothing when the
// table cannot be read.
void GetIPv4Addresses(std::vector<std::string>& arr);

