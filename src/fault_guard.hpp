// Keeps a process alive when a file it has mapped for writing is cut short under it.
//
// A store into a page of a shared file mapping beyond the file's end raises SIGBUS,
// which kills the process. A worker's own files live in a directory other processes of
// its user may touch (`: > file`, a log rotation's copytruncate), so a guarded mapping
// has the pages of a fault replaced by anonymous memory instead: the store lands there,
// counts go on, and the owner, told that its file was lost, makes a fresh one. Faults
// anywhere else reach whatever handled SIGBUS before, as if this one were not there.
#pragma once

#include <cstddef>

namespace fault_guard {

// A guarded range; 0 is none.
using Token = int;

// Guards `size` bytes at `address`, a writable shared mapping; 0 when every place for a
// guard is taken (the mapping then stays unguarded).
Token guard(void* address, std::size_t size);

// Stops guarding; before the range is unmapped.
void release(Token token);

// Whether a fault in the range has replaced its pages since it was guarded.
bool lost(Token token);

}  // namespace fault_guard
