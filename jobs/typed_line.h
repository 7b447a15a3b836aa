// G-code lines typed at the console.
#pragma once

#include <string_view>

// The g and n console commands: sends the typed line, with "n1 " in front when
// `numbered` is set, and waits for the controller's prompt.
void send_typed_line(std::string_view token, bool numbered);
