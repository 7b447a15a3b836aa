// Which device each COM channel opens.
#pragma once

#include <cstddef>

// Writes the device path for `port` (0 is COM1) into `path`. The variable
// VQDNC_COM<n> names it; without it COM<n> is /dev/ttyS<n-1>. A variable that
// is set but empty names no device: the path is empty.
// Returns false when the path does not fit.
bool device_path(int port, char* path, std::size_t size);

// The device path for `port` as the operator is shown it (platform/shown_text.h),
// a path too long for one line shortened in the middle.
// `size` must hold kShownPathSize characters.
inline constexpr std::size_t kShownPathSize = 128;
void shown_device_path(int port, char* text, std::size_t size);
