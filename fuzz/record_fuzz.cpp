// The recovery record reader on any bytes. A record that is not whole and
// sealed is told in one line; whatever it holds, no control character of it
// reaches the terminal.
//
// Input: a flag byte, then the record. With the flag's low bit set the record
// is sealed as the program seals a slot and put in both slots, so the fields
// behind the seal are read too.
#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz/fuzz_support.h"
#include "jobs/job_record.h"
#include "tests/fakes/fake_job_store.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t kSlot = 2048;
    if (size == 0) return 0;
    std::string record(reinterpret_cast<const char*>(data) + 1, std::min(size - 1, 2 * kSlot));
    if ((data[0] & 1) != 0 && record.size() < kSlot - 16) {
        char seal[16];
        std::snprintf(seal, sizeof seal, "seal %08x\n", crc_update(0, record));
        record += seal;
        record.resize(kSlot, '\n');
        record += record;
    }
    fake::jobs = fake::JobPlatform{};
    fake::jobs.records[0] = record;
    fuzz::Capture capture;
    fuzz::begin(capture);
    show_unfinished_job(0);
    const std::string shown = fuzz::end(capture);
    for (char c : shown)
        fuzz::check(c == '\n' || static_cast<unsigned char>(c) >= 0x20,
                    "a control character of the record reaches the terminal");
    fuzz::check(shown.empty() || shown.ends_with("\n"), "what is shown ends its line");
    return 0;
}
