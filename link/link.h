// The controller link: opening the port and the lock-step line exchange.
#pragma once

#include <cstdint>
#include <string_view>

// The longest wait for any single byte from the controller, in milliseconds.
inline constexpr std::int64_t REPLY_TIMEOUT_MS = 1000000;

// Passes a serial layer result through; a negative one prints the error line,
// closes `port` and raises link_error.
int check_call(int port, int result);
// The start-up sequence: framing preset, then open the port and set its rate.
void open_link();
// Closes `port_in_use` and opens port_number at rate_code.
void reopen_link(int port_in_use);

// Puts each byte of `text` on the port, nothing added.
void send_text(std::string_view text);
// Reads and shows `echo_count` echo bytes, then the answer up to the prompt.
// Returns 0 once the prompt has come, or the elapsed milliseconds when the
// wait for one byte ran past REPLY_TIMEOUT_MS.
std::int64_t await_prompt(char prompt, int echo_count);
// The i command: sends the query "v" and shows the answer over four prompts.
void query_controller();
