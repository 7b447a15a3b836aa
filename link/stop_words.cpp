#include "link/stop_words.h"

#include <cstring>

#include "control/text.h"

namespace {

void end_word(StopWordScan& scan) {
    const std::size_t length = scan.word_length;
    if (!scan.found && length > 0 && length < kStopWordSize) {
        for (const StopWord& stop : settings.stop_words) {
            if (stop[0] != '\0' && stop[length] == '\0' &&
                std::memcmp(stop.data(), scan.word.data(), length) == 0)
                scan.found = true;
        }
    }
    scan.word_length = 0;
}

// A line break starts the line again, unless the line before holds the stop
// word: then it is kept as it is.
void keep_in_line(StopWordScan& scan, int byte) {
    if (scan.line_done) return;
    if (byte == '\r' || byte == '\n') {
        scan.line_done = scan.found;
        if (!scan.found) {
            scan.line_length = 0;
            scan.line_cut = false;
        }
    } else if (scan.line_length < scan.line.size()) {
        scan.line[scan.line_length++] = static_cast<char>(byte);
    } else {
        scan.line_cut = true;
    }
}

}  // namespace

void scan_begin(StopWordScan& scan) {
    scan.word_length = 0;
    scan.line_length = 0;
    scan.line_cut = scan.found = scan.line_done = false;
}

void scan_byte(StopWordScan& scan, int byte) {
    if (is_letter_or_digit(byte)) {
        if (scan.word_length + 1 < kStopWordSize)
            scan.word[scan.word_length] = lower_ascii(static_cast<char>(byte));
        if (scan.word_length < kStopWordSize) ++scan.word_length;
    } else {
        end_word(scan);
    }
    keep_in_line(scan, byte);
}

void scan_end(StopWordScan& scan) {
    end_word(scan);
}
