// G-code lines typed at the console or given as options.
#pragma once

#include <string_view>

// The g and n console commands: sends the typed line, `token` and the rest of
// its console line, with "n1 " in front when `numbered` is set, and waits for
// the controller's prompt. False when the line was refused or did not go
// through.
bool send_typed_line(std::string_view token, bool numbered);
// The -g and -n options: the same for the whole `line`, given without its line end.
bool send_given_line(std::string_view line, bool numbered);
