// Numbers typed at the console, read as scanf's "%f" reads them.
#pragma once

// Reads one number into `value` as "%f" does, white space first. Returns false,
// leaving `value` unchanged, when no number could be read. Infinity, not-a-number
// and numbers too large for 32 bits count as unreadable: no move line may
// carry them to the controller.
bool read_number(float& value);
