// vqdnc: direct numerical control of a VQ318 motion-controller board.
// With arguments it carries out each option and exits; without, it reads
// console commands until 'e' or the end of input.
#include <cstdio>

#include "control/commands.h"
#include "control/settings.h"

int main(int argc, char** argv) {
    // Every print reaches the screen at once: the controller's echo shows byte
    // by byte and prompts without a line end are visible.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    set_defaults();
    print_banner();
    if (argc < 2) run_console();
    run_options(argc, argv);
}
