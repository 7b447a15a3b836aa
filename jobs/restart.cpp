#include "jobs/restart.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "control/console_lines.h"
#include "control/settings.h"
#include "jobs/job_record.h"
#include "jobs/modal_state.h"
#include "link/link.h"
#include "platform/console.h"
#include "platform/keyboard.h"
#include "platform/shown_text.h"
#include "platform/signals.h"

namespace {

constexpr std::size_t kBlockSize = 4096;
constexpr std::size_t kWordsSize = 512;  // every slot's word, with blanks
constexpr int kKeyWaitMs = 250;          // so Ctrl-C is seen while the key is awaited

using Block = std::array<char, kBlockSize>;

// Bytes of the file at `offset`; 0 at its end, negative on a read error.
ssize_t read_at(int fd, Block& block, std::int64_t offset) {
    ssize_t got;
    do {
        got = pread(fd, block.data(), block.size(), static_cast<off_t>(offset));
    } while (got < 0 && errno == EINTR);
    return got;
}

// Feeds the file's lines from `offset` on to `state`, each line whole before
// `more(line)` says whether to go on; `offset` is left where the next line
// begins. At the file's end a last line without its line feed ends too. False
// on a read error.
template <typename More>
bool scan_lines(int fd, ModalState& state, std::int64_t& offset, More more) {
    Block block;
    for (;;) {
        const ssize_t got = read_at(fd, block, offset);
        if (got < 0) return false;
        std::string_view bytes =
            got > 0 ? std::string_view(block.data(), static_cast<std::size_t>(got)) : "\n";
        while (!bytes.empty()) {
            const std::size_t end = std::min(bytes.find('\n'), bytes.size() - 1) + 1;
            scan_modal_words(state, bytes.substr(0, end));
            offset += static_cast<std::int64_t>(end);
            const bool line_ended = bytes[end - 1] == '\n';
            bytes.remove_prefix(end);
            if (line_ended && !more(state.line - 1)) return true;
        }
        if (got == 0) return true;
    }
}

// The state the lines before `line` leave; `offset` is left where it begins.
bool scan_lines_before(int fd, long line, ModalState& state, std::int64_t& offset) {
    return line <= 1 ||
           scan_lines(fd, state, offset, [line](long ended) { return ended + 1 < line; });
}

const char* word_in(const ModalState& state, Slot slot) {
    return state.slots[static_cast<std::size_t>(slot)].data();
}

void print_position(const ModalState& state) {
    std::array<char, kWordsSize> position;
    describe_position(state, position.data(), position.size());
    if (position[0] != '\0')
        std::printf("  Last position (program coordinates): %s\n", position.data());
}

// `ahead` is the state from the resume line on, up to its first move.
void print_warnings(const ModalState& state, long first_line, const ModalState& ahead,
                    bool numbered) {
    if (in_canned_cycle(state))
        std::printf(
            "  Warning: line %ld is inside a canned cycle (%s): each line with a position runs "
            "it\n",
            first_line, word_in(state, Slot::motion));
    const int compensation = slot_code(state, Slot::compensation);
    if (compensation == 410 || compensation == 420)
        std::printf(
            "  Warning: cutter compensation is on (%s %s): the first move takes it up from where "
            "the machine stands\n",
            word_in(state, Slot::compensation), word_in(state, Slot::compensation_d));
    if (slot_code(state, Slot::distance) == 910)
        std::printf(
            "  Warning: distance mode is incremental (G91): each move goes from where the "
            "machine stands\n");
    const int motion = slot_code(ahead, Slot::motion);
    const long move = ahead.last_move_line;
    if (move >= first_line && (motion == 20 || motion == 30))
        std::printf(
            "  Warning: the first motion, line %ld, is %s (%s): it starts where the line before it "
            "ended\n",
            move, move == ahead.last_circle_line ? "a full circle" : "an arc",
            word_in(ahead, Slot::motion));
    if (state.tool_change_line > 0)
        std::printf(
            "  Warning: the tool change at line %ld (%s M06) was skipped: check the tool in the "
            "spindle\n",
            state.tool_change_line, word_in(state, Slot::tool_loaded));
    if (state.text_after_nul_line > 0)
        std::printf(
            "  Warning: line %ld has text after a NUL byte: a download refuses it, and only its "
            "words before the NUL count here\n",
            state.text_after_nul_line);
    if (state.last_numbered_line > 0 && !numbered)
        std::printf(
            "  Warning: line %ld does not start a numbered block: the last before it is %s, line "
            "%ld\n",
            first_line, state.last_number.data(), state.last_numbered_line);
}

// Keys count from when the question is shown: the rest of the f command's
// line was typed before it, and goes back to the console when the download
// goes ahead.
bool operator_confirms(const char* path, long first_line) {
    if (settings.confirm_resume != kYes || !keys_from_terminal()) return true;
    HeldLines held;
    const int after_word = console_get();
    if (after_word != kConsoleEnd && !is_line_end(after_word))
        hold_rest_of_line(held, Hold::typed_already);
    key_mode_on();
    // A key pressed before the question is no answer to it.
    for (int typed = 0; typed != kKeyEnd && key_waiting(0);)
        typed = read_key();
    std::printf("Enter sends from line %ld on, any other key sends nothing: ", first_line);
    int key = kKeyEnd;
    while (!stop_asked()) {
        if (key_waiting(kKeyWaitMs)) {
            key = read_key();
            break;
        }
    }
    key_mode_off();
    if (key == '\n' || key == '\r') {
        release_held_lines(held);
        return true;
    }
    std::printf("\nNothing of '%s' sent\n", shown(path).c_str());
    print_resume_command(job);
    return false;
}

}  // namespace

bool said_unreadable(const char* path) {
    std::printf("Cannot read G Code file '%s': %s\n", shown(path).c_str(), std::strerror(errno));
    return false;
}

long line_of_block(int fd, const char* path, long number) {
    ModalState state;
    std::int64_t offset = 0;
    long found = 0;  // the first line that starts with it
    long count = 0;  // how many do
    const bool read = scan_lines(fd, state, offset, [&](long line) {
        if (state.last_numbered_line == line &&
            std::strtol(state.last_number.data() + 1, nullptr, 10) == number) {
            if (found == 0) found = line;
            ++count;
        }
        return true;
    });
    if (!read) return said_unreadable(path);
    const auto name = shown(path);
    if (count == 0) {
        std::printf("No line of '%s' starts with N%ld: nothing sent\n", name.c_str(), number);
    } else if (count == 1) {
        std::printf("N%ld is line %ld of '%s'\n", number, found, name.c_str());
    } else {
        std::printf("N%ld is line %ld of '%s', the first of %ld lines that start with it\n", number,
                    found, name.c_str(), count);
    }
    return found;
}

bool print_resume_summary(int fd, const char* path, long first_line) {
    ModalState state;
    std::int64_t offset = 0;
    if (!scan_lines_before(fd, first_line, state, offset)) return said_unreadable(path);
    std::array<char, kWordsSize> words;
    describe_modal_state(state, words.data(), words.size());
    std::printf("Lines 1-%ld of '%s' skipped, none of them sent; the modal words they leave: %s\n",
                first_line - 1, shown(path).c_str(), words.data());
    print_position(state);
    // On to the first move, the resume line's own number on the way.
    ModalState ahead = state;
    bool numbered = false;
    scan_lines(fd, ahead, offset, [&](long) {
        numbered = numbered || ahead.last_numbered_line == first_line;
        return ahead.last_move_line < first_line;
    });
    print_warnings(state, first_line, ahead, numbered);
    return true;
}

bool resume_confirmed(int fd, const char* path, long first_line) {
    return print_resume_summary(fd, path, first_line) && operator_confirms(path, first_line);
}

void show_state_at(int fd, long line) {
    ModalState state;
    std::int64_t offset = 0;
    if (line <= 1 || !scan_lines_before(fd, line, state, offset)) return;
    std::array<char, kWordsSize> words;
    describe_modal_state(state, words.data(), words.size());
    std::printf("  State at line %ld: %s\n", line, words.data());
    print_position(state);
}
