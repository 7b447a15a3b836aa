// vqdnc: direct numerical control of a VQ318 motion-controller board.
// With arguments it carries out each option and exits; without, it reads
// console commands until 'e' or the end of input.
#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "control/commands.h"
#include "control/settings.h"

namespace {

// Standard input, output and error that were closed are opened on /dev/null,
// so the device and files never take their numbers: console text would go to
// the controller as G-code, or the controller's bytes be run as commands.
void open_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        if (open("/dev/null", O_RDWR) != fd) std::exit(1);
    }
}

}  // namespace

int main(int argc, char** argv) {
    open_standard_descriptors();
    // Every print reaches the screen at once: the controller's echo shows byte
    // by byte and prompts without a line end are visible.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    set_defaults();
    print_banner();
    if (argc < 2) run_console();
    run_options(argc, argv);
}
