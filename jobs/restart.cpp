#include "jobs/restart.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
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
constexpr long kMostNumber = 999999999;
constexpr int kKeyWaitMs = 250;  // so Ctrl-C is seen while the key is awaited

using Block = std::array<char, kBlockSize>;

// Bytes of the file at `offset`; 0 at its end, negative on a read error.
ssize_t read_at(int fd, Block& block, std::int64_t offset) {
    ssize_t got;
    do {
        got = pread(fd, block.data(), block.size(), static_cast<off_t>(offset));
    } while (got < 0 && errno == EINTR);
    return got;
}

// Where the search for an N number stands in the current line.
enum class Place { start, letter, digits, past };

struct BlockSearch {
    long number;
    long line = 1;
    Place place = Place::start;
    long value = 0;
    long found = 0;  // the first line that starts with it
    long count = 0;  // how many do
};

void end_number(BlockSearch& search) {
    if (search.place == Place::digits && search.value == search.number) {
        if (search.found == 0) search.found = search.line;
        ++search.count;
    }
    search.place = Place::past;
}

// Blanks count for nothing, as in the words themselves (N 1340).
void search_byte(BlockSearch& search, char c) {
    if (c == '\n') {
        end_number(search);
        search.place = Place::start;
        search.value = 0;
        ++search.line;
        return;
    }
    if (search.place == Place::past || c == ' ' || c == '\t') return;
    const bool digit = c >= '0' && c <= '9';
    if (search.place == Place::start && (c == 'N' || c == 'n')) {
        search.place = Place::letter;
    } else if (digit && search.place != Place::start) {
        if (search.value <= kMostNumber) search.value = search.value * 10 + (c - '0');
        search.place = Place::digits;
    } else if (search.place == Place::digits && c != '.') {
        end_number(search);  // N1340.5 is no block number
    } else {
        search.place = Place::past;
    }
}

// Scans the lines before `line` into `state`; `offset` receives where `line`
// begins. False on a read error.
bool scan_lines_before(int fd, long line, ModalState& state, std::int64_t& offset) {
    Block block;
    offset = 0;
    while (state.line < line) {
        const ssize_t got = read_at(fd, block, offset);
        if (got <= 0) return got == 0;
        const std::string_view bytes(block.data(), static_cast<std::size_t>(got));
        std::size_t used = 0;
        while (used < bytes.size() && state.line < line) {
            const std::size_t feed = bytes.find('\n', used);
            const std::size_t end = feed == std::string_view::npos ? bytes.size() : feed + 1;
            scan_modal_words(state, bytes.substr(used, end - used));
            used = end;
        }
        offset += static_cast<std::int64_t>(used);
    }
    return true;
}

// What the lines from the resume line on say, up to the first move.
struct Ahead {
    bool numbered = false;  // the resume line starts with an N number
    long arc_line = 0;      // the first move, when it is an arc
    ModalWord arc{};
};

Ahead look_ahead(int fd, std::int64_t offset, ModalState state, long first_line) {
    Ahead ahead;
    Block block;
    for (ssize_t got = 1; got > 0; offset += got) {
        got = read_at(fd, block, offset);
        // At the file's end, a last line without its line feed ends too.
        std::string_view bytes =
            got > 0 ? std::string_view(block.data(), static_cast<std::size_t>(got)) : "\n";
        while (got >= 0 && !bytes.empty()) {
            const std::size_t feed = bytes.find('\n');
            const std::size_t end = feed == std::string_view::npos ? bytes.size() : feed + 1;
            scan_modal_words(state, bytes.substr(0, end));
            bytes.remove_prefix(end);
            ahead.numbered = ahead.numbered || state.last_numbered_line == first_line;
            if (state.last_move_line < first_line) continue;
            const int motion = slot_code(state, Slot::motion);
            if (motion == 20 || motion == 30) {
                ahead.arc_line = state.last_move_line;
                ahead.arc = state.slots[static_cast<std::size_t>(Slot::motion)];
            }
            return ahead;
        }
    }
    return ahead;
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

void print_warnings(const ModalState& state, long first_line, const Ahead& ahead) {
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
    if (ahead.arc_line > 0)
        std::printf(
            "  Warning: the first motion, line %ld, is an arc (%s): it starts where the line "
            "before it ended\n",
            ahead.arc_line, ahead.arc.data());
    if (state.tool_change_line > 0)
        std::printf(
            "  Warning: the tool change at line %ld (%s M06) was skipped: check the tool in the "
            "spindle\n",
            state.tool_change_line, word_in(state, Slot::tool_loaded));
    if (state.last_numbered_line > 0 && !ahead.numbered)
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

long line_of_block(int fd, const char* path, long number) {
    BlockSearch search{number};
    Block block;
    std::int64_t offset = 0;
    for (;;) {
        const ssize_t got = read_at(fd, block, offset);
        if (got < 0) {
            std::printf("Cannot read G Code file '%s': %s\n", shown(path).c_str(),
                        std::strerror(errno));
            return 0;
        }
        if (got == 0) break;
        for (ssize_t i = 0; i < got; ++i)
            search_byte(search, block[static_cast<std::size_t>(i)]);
        offset += got;
    }
    end_number(search);
    const auto name = shown(path);
    if (search.count == 0) {
        std::printf("No line of '%s' starts with N%ld: nothing sent\n", name.c_str(), number);
    } else if (search.count == 1) {
        std::printf("N%ld is line %ld of '%s'\n", number, search.found, name.c_str());
    } else {
        std::printf("N%ld is line %ld of '%s', the first of %ld lines that start with it\n", number,
                    search.found, name.c_str(), search.count);
    }
    return search.found;
}

bool resume_confirmed(int fd, const char* path, long first_line) {
    ModalState state;
    std::int64_t offset = 0;
    if (!scan_lines_before(fd, first_line, state, offset)) {
        std::printf("Cannot read G Code file '%s': %s\n", shown(path).c_str(),
                    std::strerror(errno));
        return false;
    }
    std::array<char, kWordsSize> words;
    describe_modal_state(state, words.data(), words.size());
    std::printf("Lines 1-%ld of '%s' skipped, none of them sent; the modal words they leave: %s\n",
                first_line - 1, shown(path).c_str(), words.data());
    print_position(state);
    print_warnings(state, first_line, look_ahead(fd, offset, state, first_line));
    return operator_confirms(path, first_line);
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
