// What vqdnc prints at start-up, for end-to-end tests to compare against.
#pragma once

#include <string>

namespace vqtest {

inline const std::string kBanner =
    "VQ318G DNC Program V1.05\n"
    "DNC link for the VQ318 motion controller - (c) the vqdnc developers\n"
    "Type 'e' to exit, 'h' for help)\n";
// Console mode on COM1 at the default rate, up to the first prompt.
inline const std::string kStart =
    kBanner + "  Use COM1,115200,N,1 - change using c or b commands\n\n-";

}  // namespace vqtest
