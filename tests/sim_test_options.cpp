// Tests of vqsim's option parsing and escape decoding.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/options.h"

namespace {

using vqsim::Options;
using vqsim::ParseResult;

std::string decode(std::string_view text, std::size_t max_len = 16) {
    std::string out = "unset";
    std::string error;
    return vqsim::decode_escapes(text, max_len, out, error) ? out : "error: " + error;
}

ParseResult parse(std::vector<std::string> args, Options& opts) {
    args.insert(args.begin(), "vqsim");
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::string error;
    return vqsim::parse_options(static_cast<int>(args.size()), argv.data(), opts, error);
}

TEST(SimEscapes, DecodesEveryEscape) {
    EXPECT_EQ(decode(""), "");
    EXPECT_EQ(decode("ok\\n"), "ok\n");
    EXPECT_EQ(decode("\\r\\t\\\\"), "\r\t\\");
    EXPECT_EQ(decode("\\x00\\xff\\xFe"), std::string("\0\xff\xfe", 3));
    EXPECT_EQ(decode("\\x7z"), "\x07z");  // one hex digit is enough
    EXPECT_EQ(decode("\\x414"), "A4");    // at most two are taken
}

TEST(SimEscapes, RejectsMalformedText) {
    for (const char* bad : {"\\", "ab\\", "\\q", "\\x", "\\xg1"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(decode(bad).rfind("error: ", 0), 0u);
    }
    EXPECT_EQ(decode("abcd", 4), "abcd");
    EXPECT_EQ(decode("abcde", 4).rfind("error: ", 0), 0u);
}

TEST(SimOptions, DefaultsAndEveryOption) {
    Options defaults;
    ASSERT_EQ(parse({}, defaults), ParseResult::kRun);
    EXPECT_EQ(defaults.prompt, '-');
    EXPECT_EQ(defaults.answer, "ok\n");
    EXPECT_TRUE(defaults.echo);
    EXPECT_EQ(defaults.hangup_after, 0);

    Options opts;
    ASSERT_EQ(parse({"--link", "/tmp/com1", "--log=/tmp/log", "--prompt", "\\x00", "--answer", "",
                     "--silent", "--no-echo", "--byte-delay-us", "250", "--emulate-rate",
                     "--hangup-after", "3", "--latency-timer", "16", "--event-char", "\\xff"},
                    opts),
              ParseResult::kRun);
    EXPECT_EQ(opts.link, "/tmp/com1");
    EXPECT_EQ(opts.log, "/tmp/log");
    EXPECT_EQ(opts.prompt, '\0');
    EXPECT_EQ(opts.answer, "");
    EXPECT_TRUE(opts.silent);
    EXPECT_FALSE(opts.echo);
    EXPECT_EQ(opts.byte_delay_us, 250);
    EXPECT_TRUE(opts.emulate_rate);
    EXPECT_EQ(opts.hangup_after, 3);
    EXPECT_EQ(opts.latency_timer_ms, 16);
    EXPECT_EQ(opts.event_char, 0xff);
    ASSERT_EQ(parse({"--hangup-after-bytes", "5", "--stall-after", "7", "--stall-ms", "0"}, opts),
              ParseResult::kRun);
    EXPECT_EQ(opts.hangup_after_bytes + opts.stall_after + opts.stall_ms, 12);
}

TEST(SimOptions, RejectsBadValues) {
    const std::vector<std::vector<std::string>> bad = {
        {"--prompt", "ab"},
        {"--prompt", ""},
        {"--byte-delay-us", "-1"},
        {"--byte-delay-us", "10000001"},
        {"--byte-delay-us", "5us"},
        {"--hangup-after", "0"},
        {"--hangup-after", ""},
        {"--hangup-after-bytes", "0"},
        {"--stall-after", "x"},
        {"--stall-ms", "3600001"},
        {"--latency-timer", "0"},
        {"--latency-timer", "256"},
        {"--event-char", "--"},
        {"--link", ""},
        {"--link"},
        {"--unknown"},
        {"stray"},
        {"--answer", "\\x"},
    };
    for (const auto& args : bad) {
        SCOPED_TRACE(args[0] + (args.size() > 1 ? " " + args[1] : ""));
        Options opts;
        EXPECT_EQ(parse(args, opts), ParseResult::kError);
    }
    Options opts;
    EXPECT_EQ(parse({"--silent", "--help"}, opts), ParseResult::kHelp);
    EXPECT_EQ(parse({"--version"}, opts), ParseResult::kVersion);
}

}  // namespace
