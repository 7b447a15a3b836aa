// vqdnc: direct numerical control of a VQ318 motion-controller board.
// With arguments it carries out each option and exits; without, it reads
// console commands until 'e' or the end of input.
#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "control/commands.h"
#include "control/settings.h"
#include "control/usage.h"
#include "jobs/job_record.h"
#include "platform/progress.h"
#include "platform/signals.h"

namespace {

// --help, --version and --status answer and end the program with success
// before the configuration file is read or a port is opened. Returns false
// when none is among the arguments.
bool answered_long_option(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::string_view argument = argv[i];
        if (argument == "--help") print_usage();
        if (argument == "--version") print_version();
        if (argument == "--status") print_job_status();
        if (argument == "--help" || argument == "--version" || argument == "--status") return true;
    }
    return false;
}

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
    if (argc > 1 && std::string_view(argv[1]) == "--check") return run_check(argc, argv);
    if (answered_long_option(argc, argv)) return 0;
    install_signal_handlers(close_before_signal_end);
    reset_scroll_region();
    set_defaults();
    print_banner();
    if (argc < 2) {
        settings.confirm_resume = kYes;
        run_console();
    }
    run_options(argc, argv);
}
