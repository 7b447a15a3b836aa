#include "jobs/query.h"

#include <cstdint>
#include <cstdio>

#include "control/settings.h"
#include "link/link.h"
#include "platform/signals.h"

namespace {

constexpr int kQueryAnswers = 4;

}  // namespace

// The query's answer is all answer: a controller need not echo the v.
bool query_controller() {
    if (!ensure_link() || !send_request("v", kNotEchoed)) return false;
    bool stop_word = false;  // the rest of the answer is still read, so none of it is left
    for (int i = 0; i < kQueryAnswers; ++i) {
        const std::int64_t result = await_prompt(settings.prompt_char, 0);
        stop_word = stop_word || result == kStopWord;
        if (result != 0 && result != kStopWord) return false;
        if (stop_asked() && i + 1 < kQueryAnswers) {
            std::printf("\nStopped (Ctrl-C)\n");
            return false;
        }
    }
    return !show_arrived_text() && !stop_word;
}
