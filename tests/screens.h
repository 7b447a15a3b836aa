// What vqdnc prints at start-up, for end-to-end tests to compare against.
#pragma once

#include <regex>
#include <string>

namespace vqtest {

inline const std::string kBanner =
    "VQ318G DNC Program V1.05\n"
    "DNC link for the VQ318 motion controller - (c) the vqdnc developers\n"
    "Type 'e' to exit, 'h' for help)\n";
// Console mode on COM1 at the default rate, up to the first prompt.
inline const std::string kStart =
    kBanner + "  Use COM1,115200,N,1 - change using c or b commands\n\n-";

// The vacuum head processor's opening screen with its defaults, the prompt
// after the key a, and the lines a lift and a place send with the defaults.
inline const std::string kHeader =
    "Vacuum Head Processor\n  Lift height=0.1500 Lift rate=5.0000  Place height=-0.0500 Place "
    "rate=5.0000\n  l-lift, p-place, a-adjust, e-exit\n=";
inline const std::string kAdjustPrompt = "\n=New lift hgt, lift rate, place hgt, place rate: ";
inline const std::string kLiftLine = "N1 G1 X0.1500 F5.0000\n";
inline const std::string kPlaceLines = "N1 G1 X-0.0500 F5.0000\nN1 G04 P2\nN1 G1 X0.0000 F5.0000\n";

// What a console word that is no command prints; the rest of its line is not run.
inline std::string unknown_command(const std::string& word) {
    return "Unknown command '" + word +
           "' - nothing of this line run or sent; type G-code with g or n in front: G01 X10, N1 "
           "M03 S1000\n";
}

// The error line of a failed serial call, up to its error number.
inline const std::string kPortError =
    "ERROR: Com port selection maybe wrong or in use by another application: ";
// The line after the error line of a failed open of COM1 at `path`. For a
// missing device it ends with the devices found on this machine, shown here as
// "(...)" (see without_device_list).
inline std::string open_failure(const std::string& path, const std::string& reason) {
    return "  COM1 is " + path + ": " + reason + "\n";
}
inline const std::string kNoSuchDevice =
    "no such device - set VQDNC_COM1 to the controller's serial device (...)";
// The device is held by the vqdnc with process ID `pid`.
inline std::string in_use_by_vqdnc(int pid) {
    return "in use by another program (vqdnc, PID " + std::to_string(pid) +
           ") - close that program first";
}
inline std::string without_device_list(const std::string& output) {
    return std::regex_replace(output, std::regex("serial device \\([^\n]*\\)\n"),
                              "serial device (...)\n");
}
// The hint shown after a failed start-up, with the prompt that follows it.
inline const std::string kHint =
    "\nSerial Port setup error - set default serial port\n"
    "by creating file called dnconfig.txt with single line\n"
    "containing:    comchannel comx \n\n-";

}  // namespace vqtest
