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
// What await_prompt and await_echo return when a byte of the echo differed
// from the byte sent (a reset, an alarm, line noise): lock-step is lost.
inline constexpr std::int64_t kEchoDiffers = -3;
// What await_prompt returns when the prompt came after an answer that holds a
// stop word: the controller reports an error or an alarm.
inline constexpr std::int64_t kStopWord = -4;

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
// when that held a stop word (nothing is sent), the link went down or the
// device took nothing for more than REPLY_TIMEOUT_MS; the job then ends.
// The waits that follow compare the echo with `text`.
bool send_text(std::string_view text);
// The last send_text sent nothing: what the controller sent unasked held a
// stop word.
bool refused_for_stop_word();
// Reads and shows `echo_count` echo bytes, then the answer up to the prompt.
// Each echo byte is compared with the byte sent, letters case-blind. The echo
// of the sent bytes past `echo_count` (a download line's line feed) is read as
// the first of the answer, and a prompt counts only after it.
// Returns 0 once the prompt has come; the elapsed milliseconds when the wait
// for one byte ran past REPLY_TIMEOUT_MS; kLinkDown, kWaitAbandoned,
// kEchoDiffers, or kStopWord. Each but 0 prints a line saying so.
std::int64_t await_prompt(char prompt, int echo_count);
// Reads, checks and shows exactly `echo_count` echo bytes, for a piece of a
// long line that the controller does not answer. Returns as await_prompt does.
std::int64_t await_echo(int echo_count);
// send_text for a whole request, which the controller answers at once even
// without a line feed (a typed line that ends in a carriage return, the query).
// A request sent kNotEchoed (the query) has no echo compared: what comes back
// is all answer, whether the controller echoes it or not.
inline constexpr bool kNotEchoed = false;
bool send_request(std::string_view text, bool echoed = true);
// send_request, then await_prompt: false unless the text went out whole and the
// prompt came after a plain answer, so the job ends.
bool send_and_await(std::string_view text, char prompt, int echo_count);
// Shows what the controller has sent that no wait has read (text after the
// last prompt), as send_text shows unasked text, when a job or the program
// ends, so none of it is lost. True when it held a stop word, which it names.
bool show_arrived_text();
// For a job that cannot finish the line it has begun to send: when part of it
// went out, nothing more is sent on the port until the operator re-opens it.
void hold_unfinished_line();
// The port in use holds a line that went out in part.
bool holds_unfinished_line();
