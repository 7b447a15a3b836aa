// Where a download's recovery record lives between runs: one small file per
// channel in the user's state directory ($XDG_STATE_HOME/vqdnc, else
// ~/.local/state/vqdnc), written with plain writes while the download runs.
#pragma once

#include <cstddef>
#include <cstdint>

// Opens channel `port`'s record for writing, making it and its directory
// when missing, locked against other programs; only one is open at a time.
// Null when it is open, else why it is not.
const char* job_store_open(int port);
// Writes `size` bytes at `offset` of the open record. False with errno set.
bool job_store_write(std::size_t offset, const char* data, std::size_t size);
// Whether the open record is still the file at its path: another program may
// have removed or replaced it.
bool job_store_still_there();
// Puts what was written on the disk. False with errno set.
bool job_store_sync();
// Closes the open record; with `remove`, it is deleted first.
void job_store_close(bool remove);

// Reads up to `size` bytes of channel `port`'s record: the count, 0 when
// there is none, or -1 with errno set. `running` tells whether a program
// holds it open for writing: its download runs now.
long job_store_read(int port, char* data, std::size_t size, bool& running);
// The record's path, for messages.
void job_store_path(int port, char* text, std::size_t size);

// Seconds since the epoch, for the record's times.
std::int64_t wall_clock_s();
// What tells this boot of the machine from the next: a record made before
// the last start of the PC may lack what its last seconds wrote.
void boot_id(char* text, std::size_t size);
