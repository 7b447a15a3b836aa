// The modal state scan behind a resume, on any file bytes: whatever the
// bytes, the words and positions it shows fit their buffers, and the bytes
// fed in pieces of any size leave the state they leave fed whole.
//
// Input: a chunk size byte, then the file.
#include <array>
#include <cstdint>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "jobs/modal_state.h"

namespace {

using Text = std::array<char, 512>;

void describe(const ModalState& state, Text& words, Text& position) {
    describe_modal_state(state, words.data(), words.size());
    describe_position(state, position.data(), position.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::size_t chunk = data[0] % 17 + 1;
    const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    ModalState whole;
    ModalState pieces;
    scan_modal_words(whole, bytes);
    for (std::size_t at = 0; at < bytes.size(); at += chunk)
        scan_modal_words(pieces, bytes.substr(at, chunk));
    Text words_whole, position_whole, words_pieces, position_pieces;
    describe(whole, words_whole, position_whole);
    describe(pieces, words_pieces, position_pieces);
    fuzz::check(std::string_view(words_whole.data()) == words_pieces.data(), "same words");
    fuzz::check(std::string_view(position_whole.data()) == position_pieces.data(), "same position");
    fuzz::check(whole.line == pieces.line && whole.tool_change_line == pieces.tool_change_line &&
                    whole.last_numbered_line == pieces.last_numbered_line &&
                    whole.text_after_nul_line == pieces.text_after_nul_line,
                "same lines");
    return 0;
}
