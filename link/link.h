// The controller link: opening the port and the lock-step line exchange.
#pragma once

#include <cstdint>
#include <string_view>

// The longest wait for any single byte from the controller, in milliseconds.
// A device that takes no byte of a line for longer is given up too.
inline constexpr std::int64_t REPLY_TIMEOUT_MS = 1000000;
// What await_prompt returns when the port is not open or the link went down.
inline constexpr std::int64_t kLinkDown = -1;
// What it returns when the operator gave up the wait (Ctrl-C twice); the port
// stays open.
inline constexpr std::int64_t kWaitAbandoned = -2;

// Passes a serial layer result through; a negative one prints the error line,
// closes `port` and raises link_error.
int check_call(int port, int result);
// The start-up sequence: framing preset, then open the port and set its rate.
void open_link();
// Closes `port_in_use` and opens port_number at rate_code. This is how the
// operator takes back a port that holds an unfinished line. False when the
// port did not open at that rate.
bool reopen_link(int port_in_use);
// Makes sure port_number can take a line before a job uses it: a port that is
// not open (it failed to open, or its device went away) is opened again at
// rate_code. False, with the reason printed, when the job must not send.
// `after_echo`: the cursor stands after a key's echo, so the messages of a
// port that has to be opened again begin on a new line.
inline constexpr bool kAfterEcho = true;
bool ensure_link(bool after_echo = false);

// Puts each byte of `text` on the port, nothing added, and waits until the
// device has taken them all. Before a new line, what the controller sent
// unasked is shown first, as answer text, so it is not counted as echo. False
// when the link went down or the device took nothing for more than
// REPLY_TIMEOUT_MS; the job then ends.
bool send_text(std::string_view text);
// Reads and shows `echo_count` echo bytes, then the answer up to the prompt.
// Returns 0 once the prompt has come, the elapsed milliseconds when the wait
// for one byte ran past REPLY_TIMEOUT_MS, kLinkDown or kWaitAbandoned.
std::int64_t await_prompt(char prompt, int echo_count);
// Reads and shows exactly `echo_count` echo bytes, whatever they are, so a
// controller that echoes in another case costs no time-out. Returns as
// await_prompt does.
std::int64_t await_echo(int echo_count);
// send_text, then await_prompt: false when the text could not go out whole,
// the link went down or the operator gave up the wait, so the job ends.
bool send_and_await(std::string_view text, char prompt, int echo_count);
// Whether the operator asked the job to stop (Ctrl-C) once the line in flight
// is done; the job then stops before its next line.
bool stop_asked();
// The i command: sends the query "v" and shows the answer over four prompts.
// False when the link was down, so the caller shows its own prompt.
bool query_controller();
// For a job that cannot finish the line it has begun to send: when part of it
// went out, nothing more is sent on the port until the operator re-opens it.
void hold_unfinished_line();
