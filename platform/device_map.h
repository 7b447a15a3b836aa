// Which device each COM channel opens.
#pragma once

#include <cstddef>

// Writes the device path for `port` (0 is COM1) into `path`. The variable
// VQDNC_COM<n> names it; without it COM<n> is /dev/ttyS<n-1>.
// Returns false when the path does not fit.
bool device_path(int port, char* path, std::size_t size);
