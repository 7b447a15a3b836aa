// Where a download's recovery record lives between runs: one small file per
// channel in the user's state directory ($XDG_STATE_HOME/vqdnc, else
// ~/.local/state/vqdnc), rewritten in place while the download runs.
#pragma once

#include <cstddef>
#include <cstdint>

// What job_store_read gives for a record another program holds open for
// writing: its download is running now.
inline constexpr long kRecordBusy = -2;

// Opens the record of channel `port` for rewriting, making it and its
// directory when missing, `size` bytes long, locked against other programs.
// Only one record is open at a time. False with errno set; EWOULDBLOCK when
// another program holds it.
bool job_store_open(int port, std::size_t size);
// The open record's bytes, changed in place; job_store_commit makes a change
// of `size` bytes at `offset` part of the record. Where the filesystem allows
// it, the bytes are the record itself, mapped into memory, and a change costs
// no call into the kernel; elsewhere they are a copy whose changes are
// written. Either way a change is in the page cache: it survives a killed
// program, not yet a power cut.
char* job_store_bytes();
bool job_store_commit(std::size_t offset, std::size_t size);
// Puts what was changed on the disk.
bool job_store_sync();
// Closes the open record; with `remove`, the record is deleted first.
void job_store_close(bool remove);

// Reads up to `size` bytes of channel `port`'s record: the count, 0 when there
// is none, kRecordBusy, or -1 with errno set.
long job_store_read(int port, char* data, std::size_t size);
// The record's path, for messages.
void job_store_path(int port, char* text, std::size_t size);

// Seconds since the epoch, for the record's times.
std::int64_t wall_clock_s();
// What tells this boot of the machine from the next: a record made before
// the last start of the PC may lack what its last seconds wrote.
void boot_id(char* text, std::size_t size);
