// The vacuum head processor: single keys make the controller lift a part,
// place one (move down, dwell, move back), or take new heights and rates.
#include "jobs/vacuum_head.h"

#include <array>
#include <cstdio>
#include <string_view>

#include "control/console_lines.h"
#include "control/settings.h"
#include "control/text.h"
#include "jobs/number_reader.h"
#include "link/link.h"
#include "platform/console.h"
#include "platform/keyboard.h"
#include "platform/signals.h"

namespace {

// Heights are X positions and rates feed values, in the controller's units.
struct HeadValues {
    float lift_height = 0.15f;
    float lift_rate = 5.0f;
    float place_height = -0.05f;
    float place_rate = 5.0f;
    float return_height = 0.0f;
};

// Two 32-bit values in "%1.4f" take at most 45 characters each; with the rest
// of the line and the terminator that is 101.
constexpr std::size_t kMoveLineSize = 104;
constexpr std::string_view kDwellLine = "N1 G04 P2\n";
// The key wait blocks this long at a time.
constexpr int kKeyWaitMs = 1000;

void print_header(const HeadValues& v) {
    std::printf(
        "Vacuum Head Processor\n  Lift height=%1.4f Lift rate=%1.4f  Place height=%1.4f Place "
        "rate=%1.4f\n",
        static_cast<double>(v.lift_height), static_cast<double>(v.lift_rate),
        static_cast<double>(v.place_height), static_cast<double>(v.place_rate));
    std::printf("  l-lift, p-place, a-adjust, e-exit\n=");
}

// Each returns false when the link went down: the rest of a place is not sent.
bool send_move(float height, float rate) {
    std::array<char, kMoveLineSize> line{};
    int length = std::snprintf(line.data(), line.size(), "N1 G1 X%1.4f F%1.4f\n",
                               static_cast<double>(height), static_cast<double>(rate));
    if (length < 0 || static_cast<std::size_t>(length) >= line.size())
        return false;  // cannot happen
    return send_and_await({line.data(), static_cast<std::size_t>(length)}, settings.prompt_char,
                          length);
}

bool send_dwell() {
    return send_and_await(kDwellLine, settings.prompt_char, static_cast<int>(kDwellLine.size()));
}

// How a lift or a place ended. After a stop (Ctrl-C) the processor ends after
// the line in flight; after a move that did not go through it goes on, but
// the rest of the console line it was started from is not run.
enum class Move { went_through, failed, stopped };

Move ended_move(bool sent) {
    if (stop_asked()) return Move::stopped;
    return sent ? Move::went_through : Move::failed;
}

Move lift(const HeadValues& v) {
    if (!ensure_link(kAfterEcho)) return Move::failed;
    JobScope job;
    std::printf("\n lift part");
    return ended_move(send_move(v.lift_height, v.lift_rate));
}

Move place(const HeadValues& v) {
    if (!ensure_link(kAfterEcho)) return Move::failed;
    JobScope job;
    std::printf("\n place part");
    bool sent = send_move(v.place_height, v.place_rate) && !stop_asked();
    if (sent) {
        std::printf(" - dwell");
        sent = send_dwell() && !stop_asked();
    }
    if (sent) {
        std::printf(" - lift part");
        sent = send_move(v.return_height, v.lift_rate);
    }
    return ended_move(sent);
}

// The four numbers are typed as a line, with the terminal's echo and editing.
void adjust(HeadValues& v, HeldLines& held) {
    key_mode_off();
    std::printf("\n=New lift hgt, lift rate, place hgt, place rate: ");
    std::array<float*, 4> targets = {&v.lift_height, &v.lift_rate, &v.place_height, &v.place_rate};
    for (float* target : targets) {
        if (!read_number(*target)) break;
    }
    hold_rest_of_line(held);
    key_mode_on();
    std::printf("New settings: %1.4f %1.4f %1.4f %1.4f\n=", static_cast<double>(v.lift_height),
                static_cast<double>(v.lift_rate), static_cast<double>(v.place_height),
                static_cast<double>(v.place_rate));
}

// Takes the blank that ended the v word. On a terminal, keys are what the
// operator presses once the processor has started: the rest of the v line was
// typed before it, so it is held for the console loop, which reads it as words
// afterwards. From a pipe or a file the stream's characters are the keys.
void take_rest_of_v_line(HeldLines& held) {
    int blank = console_get();
    if (keys_from_terminal() && blank != kConsoleEnd && !is_line_end(blank))
        hold_rest_of_line(held, Hold::typed_already);
}

int next_key() {
    while (!key_waiting(kKeyWaitMs)) {
    }
    int key = read_key();
    return key >= 0 ? static_cast<unsigned char>(lower_ascii(static_cast<char>(key))) : key;
}

}  // namespace

bool run_vacuum_head() {
    HeadValues values;
    HeldLines held;
    bool went_through = true;
    // Key mode from the start: keys typed as soon as the prompt shows are
    // neither echoed by the terminal nor held back until Enter.
    key_mode_on();
    print_header(values);
    take_rest_of_v_line(held);
    for (;;) {
        int key = next_key();
        if (key == kKeyEnd) break;
        // The key as one character, whatever it is: it is the operator's own,
        // no text from outside. A key that sent a sequence (an arrow) shows none
        // of its codes.
        if (key != kKeySequence) std::putchar(key);
        Move move = Move::went_through;
        if (key == 'a') {
            adjust(values, held);
        } else if (key == 'l') {
            move = lift(values);
        } else if (key == 'p') {
            move = place(values);
        }
        went_through = went_through && move == Move::went_through;
        if (move == Move::stopped) {
            std::printf("\nVacuum head stopped (Ctrl-C)\n");
            break;
        }
        if (key == 'e') key_mode_off();
        std::printf("\n=");
        if (key == 'e') break;
    }
    key_mode_off();
    release_held_lines(held);
    return went_through;
}
