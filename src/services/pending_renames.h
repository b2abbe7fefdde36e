// The system's queue of file operations for the next restart (the registry
// value "PendingFileRenameOperations"), read into a snapshot. Queued
// deletions of files that exist can be carried out at once; the deletions
// carried out are then taken out of the queue, and nothing else of it is
// changed.
#pragma once

#include <cstdint>

namespace services {

struct PendingRenameTable {
  // Entry 2k is the source of pair k, 2k+1 its target: copies of the strings
  // as stored, or null where the stored string is empty.
  wchar_t** names = nullptr;
  // 1 where the entry names an existing file that is not a directory.
  uint32_t* flags = nullptr;
  uint32_t count = 0;  // pairs
  // The value as read, with its size and type.
  wchar_t* value = nullptr;
  uint32_t bytes = 0, type = 0;
};

// The path an entry names: behind the "\??\" prefix the queue puts before its
// paths, or the whole string.
const wchar_t* PathOfEntry(const wchar_t* entry);

PendingRenameTable LoadPendingRenameTable();
// Deletes now every queued deletion whose source exists as a file, clears
// the flags of the sources it deleted, and takes those deletions out of the
// queue: the next restart would otherwise delete a new file of the same name.
void PurgePendingRenameDeletes(PendingRenameTable& table);
void FreePendingRenameTable(PendingRenameTable& table);

}  // namespace services
