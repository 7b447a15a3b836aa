// The --help text: how to run the program, for someone meeting it the first
// time. The 'h' command's help stays as the original program had it.
#pragma once

void print_usage();
