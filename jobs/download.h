// G-code file download.
#pragma once

// Sends the file named by download_path line by line in lock-step, from the
// line resume_line names when it is set (it serves once). False when the
// download did not run to the end of the file; it then says where it stopped
// and how to resume.
bool download_file();
// Forgets the resume line set with r, if any, saying so: it served a
// download that did not start, and must not serve a later one.
void drop_armed_resume();
// Reads the file `path` as a download would, from the line the resume names,
// sends nothing and says what a download would do: its lines, the lines it
// would refuse or a controller may not take, the time on the wire at
// rate_code, and the resume summary. False when a line would be refused or
// the file cannot be read.
bool check_download(const char* path);
