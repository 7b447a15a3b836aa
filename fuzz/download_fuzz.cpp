// The file download's line handling on any file contents.
//
// The line splitter, fed in chunks of every size into outputs of every size,
// must give the lines a plain reading of the file gives: lines end at a line
// feed, a carriage return just before it (or before the end of the file) is
// dropped, a ';' first makes a comment, a NUL ends the text.
//
// A line whose text goes on after a NUL (NULs, and a carriage return before
// its end, only pad it) is refused: the download stops before it.
//
// download_file on that file, with a controller that echoes each line and
// answers: the lines go on the wire in order, each with one line feed, and
// where the prompt comes only at the end of each answer, all of them. A
// download that stops (lock-step lost: an answer's rest read as echo, or a
// silent controller) says so, and a line it cut short is held. Where it ran
// through and every line fits the 255-character line buffer, what is shown
// must be what the exchange rules allow: bytes read from the controller, in
// order; in normal mode all of them but some line feeds, in quiet mode each
// line's echo. Where the prompt comes only at the end of each answer, each
// line shows its echo and, in normal mode, its answer with the first line feed
// only, and every answer is read to its prompt.
//
// Input: controller byte (answer, prompt, silence, quiet mode), chunking byte,
// then the file.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "control/settings.h"
#include "fuzz/fuzz_support.h"
#include "jobs/download.h"
#include "jobs/line_splitter.h"
#include "link/link.h"
#include "tests/fakes/fake_platform.h"

namespace {

constexpr std::size_t kHeader = 2;
constexpr std::size_t kLineText = 255;
constexpr std::string_view kAnswers[] = {"ok\n", "", "o-k\r\n\n", "\n\n>\n"};
constexpr char kPrompts[] = {'-', '>', '\n', 'k'};

using Lines = std::vector<std::string>;

std::string file_path;

// The lines, and how many come before the first one a download refuses.
Lines plain_lines(std::string_view file, std::size_t& sendable) {
    Lines lines;
    sendable = std::string::npos;
    std::size_t pos = 0;
    while (pos < file.size()) {
        std::size_t feed = file.find('\n', pos);
        std::size_t end = feed == std::string_view::npos ? file.size() : feed;
        std::string line(file.substr(pos, end - pos));
        pos = feed == std::string_view::npos ? file.size() : feed + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && line[0] == ';') continue;
        const std::size_t nul = line.find('\0');
        if (nul != std::string::npos && line.find_first_not_of('\0', nul) != std::string::npos)
            sendable = std::min(sendable, lines.size());
        line.resize(std::min(nul, line.size()));
        lines.push_back(line);
    }
    return lines;
}

Lines split_in_chunks(std::string_view file, std::size_t chunk, std::size_t room) {
    LineSplitter splitter;
    Lines lines;
    std::string line;
    std::vector<char> out(room);
    for (std::size_t pos = 0; pos < file.size(); pos += chunk) {
        std::string_view input = file.substr(pos, chunk);
        while (!input.empty()) {
            SplitResult step = split_lines(splitter, input, out);
            fuzz::check(step.used <= input.size() && step.stored <= room, "splitter stays inside");
            fuzz::check(step.used > 0 || step.stored > 0 || step.line_ended, "splitter progresses");
            line.append(out.data(), step.stored);
            input.remove_prefix(step.used);
            if (step.line_ended) lines.push_back(std::exchange(line, {}));
        }
    }
    if (finish_lines(splitter)) {
        lines.push_back(line);
    } else {
        fuzz::check(line.empty(), "no text left over at the end");
    }
    return lines;
}

std::string without_line_feeds(std::string_view text) {
    std::string kept;
    for (char c : text)
        if (c != '\n') kept += c;
    return kept;
}

void write_file(std::string_view bytes) {
    std::FILE* file = std::fopen(file_path.c_str(), "wb");
    if (file == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
        std::abort();
    }
    std::fclose(file);
}

void remove_work_dir() {
    unlink(file_path.c_str());
    rmdir(file_path.substr(0, file_path.rfind('/')).c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char dir[] = "/tmp/vqdnc-fuzz-XXXXXX";
    if (mkdtemp(dir) == nullptr) std::abort();
    file_path = std::string(dir) + "/part.nc";
    std::atexit(remove_work_dir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < kHeader) return 0;
    const std::uint8_t controller = data[0];
    const std::string_view file(reinterpret_cast<const char*>(data + kHeader), size - kHeader);
    std::size_t sendable = 0;
    const Lines lines = plain_lines(file, sendable);
    const bool refused = sendable != std::string::npos;

    const std::size_t chunk = 1 + data[1] % 16;
    const std::size_t room = 1 + (data[1] >> 4) % 8;
    fuzz::check(split_in_chunks(file, chunk, room) == lines, "lines split as the file reads");
    fuzz::check(split_in_chunks(file, 4096, 256) == lines, "lines split as the file reads");

    fake::reset();
    settings = Settings{};
    open_link();  // no line held from the input before
    settings.prompt_char = kPrompts[(controller >> 2) % 4];
    settings.output_mode = controller & 0x10 ? 'q' : 'n';
    const bool silent = controller & 0x20;
    const std::string answer = "\n" + std::string(kAnswers[controller % 4]) + settings.prompt_char;
    const bool mode_normal = settings.output_mode == 'n';
    std::string wire;
    std::string replies;
    std::string expected;
    std::size_t echoed = 0;
    // Whether each line's echo and answer end at its own prompt and no sooner.
    const bool prompt_at_ends = answer.find(settings.prompt_char) == answer.size() - 1;
    for (const std::string& line :
         Lines(lines.begin(), lines.begin() + std::min(sendable, lines.size()))) {
        wire += line + "\n";
        if (silent) continue;
        replies += line + answer;
        expected += line + (mode_normal ? fuzz::first_line_feed_only(answer) : "");
        echoed += line.size();
    }
    fake::controller_sends(replies);
    write_file(file);
    set_download_path(file_path);

    fuzz::Capture capture;
    fuzz::begin(capture);
    const bool whole = download_file();
    std::string shown = fuzz::end(capture);

    const std::string& sent = fake::state.sent;
    fuzz::check(wire.starts_with(sent), "the file's lines sent in order");
    fuzz::check(
        whole ? sent == wire && !refused : shown.find("\n  To resume: ") != std::string::npos,
        "a download that stops says so");
    if (refused && prompt_at_ends && !silent)
        fuzz::check(!whole && sent == wire,
                    "the lines before a refused line go out, none after it");
    fuzz::check(sent.empty() || sent.back() == '\n' ||
                    shown.find("holds an unfinished line") != std::string::npos,
                "a line cut short is held");
    fuzz::check(whole || silent || !prompt_at_ends || refused,
                "each line's prompt at its answer's end");
    if (!whole) return 0;
    bool all_fit = true;
    for (const std::string& line : lines)
        all_fit = all_fit && line.size() <= kLineText;
    if (!all_fit) return 0;
    fuzz::check(shown.starts_with("\n-"), "download starts on a fresh line");
    const std::string_view display = std::string_view(shown).substr(2);
    const std::string_view received(replies.data(), replies.size() - fake::state.incoming.size());
    fuzz::check(fuzz::is_subsequence(display, received), "shows only bytes read, in order");
    if (mode_normal) {
        fuzz::check(without_line_feeds(display) == without_line_feeds(received),
                    "normal mode shows every byte read but line feeds");
    } else {
        fuzz::check(display.size() == echoed, "quiet mode shows the echo of each line");
    }
    if (prompt_at_ends) {
        fuzz::check(display == expected, "each line's echo and answer shown");
        fuzz::check(fake::state.incoming.empty(), "every answer read to its prompt");
    }
    return 0;
}
