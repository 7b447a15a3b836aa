// What the link layer knows about the port in use, shared by its two halves:
// whether it is open, how much of the current line went out, and whether the
// controller holds a line it got only part of.
#pragma once

#include <cstddef>
#include <string_view>

// port_number is open and may take a line.
bool link_up();
// Notes bytes that went out, to know how much of the current line the
// controller holds.
void note_sent(std::string_view bytes);
// Part of the current line went out and the rest has not.
bool line_begun();
// The bytes sent so far are a whole request even without a line feed.
void note_request_complete();
// The device hung up or failed with `error`: says so, closes the port and
// holds a line that went out only in part.
void drop_link(int error);
// The device took nothing for too long: holds the line, or closes the port
// when none of the line went out.
void give_up_line();
// A port opened anew has no request whose echo is still to come.
void forget_request();
