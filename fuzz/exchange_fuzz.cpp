// The exchange's handling of controller bytes: any bytes, at times that fall
// inside or just outside the per-byte time-out, through several waits in a
// row. What each wait shows, how far it reads, and whether it reports the
// prompt or a time-out must follow the display and prompt rules exactly, and
// a wait must block rather than spin.
//
// Input: prompt character, quiet-mode bits, three echo counts, where the
// controller pauses and for how long, then the controller's bytes.
#include <cstdint>
#include <string>

#include "control/settings.h"
#include "fuzz/fuzz_support.h"
#include "link/link.h"
#include "tests/fakes/fake_platform.h"

namespace {

constexpr std::size_t kHeader = 7;
constexpr int kWaits = 4;

std::int64_t pause_length(std::uint8_t kind) {
    switch (kind % 5) {
        case 0:
            return 1;
        case 1:
            return REPLY_TIMEOUT_MS;
        case 2:
            return REPLY_TIMEOUT_MS + 1;  // there as the time runs out
        case 3:
            return REPLY_TIMEOUT_MS + 2;  // just too late
        default:
            return 3 * REPLY_TIMEOUT_MS + 5;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < kHeader) return 0;
    const char prompt = static_cast<char>(data[0]);
    const std::uint8_t quiet_bits = data[1];
    const int echo_counts[kWaits] = {data[2] % 64, data[3] % 64, data[4] % 8, 0};
    const std::size_t pause_index = data[5];
    const std::int64_t pause = pause_length(data[6]);

    fake::reset();
    settings = Settings{};
    open_link();
    fuzz::ModelLine model;
    model.bytes.assign(reinterpret_cast<const char*>(data + kHeader), size - kHeader);
    model.gap_index = pause_index;
    model.gap_at = pause;
    for (std::size_t i = 0; i < model.bytes.size(); ++i) {
        fake::state.incoming.push_back(
            {model.arrival(i), static_cast<unsigned char>(model.bytes[i])});
    }

    for (int call = 0; call < kWaits; ++call) {
        settings.output_mode = (quiet_bits >> call) & 1 ? 'q' : 'n';
        const long waits_before = fake::state.waits;
        const std::size_t left_before = fake::state.incoming.size();

        fuzz::Capture capture;
        fuzz::begin(capture);
        std::int64_t result = await_prompt(prompt, echo_counts[call]);
        std::string shown = fuzz::end(capture);

        std::string expected;
        int expected_result =
            fuzz::model_await(model, prompt, echo_counts[call], settings.output_mode, expected);
        const std::size_t taken = left_before - fake::state.incoming.size();
        fuzz::check(shown == expected, "bytes shown by the display rules");
        fuzz::check(fake::state.incoming.size() == model.bytes.size() - model.pos,
                    "read up to the prompt and not past it");
        fuzz::check(fake::state.now_ms == model.now, "waited as long as the bytes took");
        if (expected_result == 0) {
            fuzz::check(result == 0, "prompt reported");
        } else {
            fuzz::check(result > REPLY_TIMEOUT_MS, "time-out reported with its length");
        }
        // Each byte costs at most one blocking wait, and so does a time-out.
        fuzz::check(fake::state.waits - waits_before <= static_cast<long>(taken) + 1,
                    "blocks instead of spinning");
    }
    return 0;
}
