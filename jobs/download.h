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
