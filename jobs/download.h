// G-code file download.
#pragma once

// Sends the file named by download_path line by line in lock-step.
void download_file();
