#pragma once
// How much memory the program can still take, so that a paste, an undo or a
// read's huge value too large for it is refused with a message before the
// allocation fails somewhere inside it. The program's own entry points catch
// std::bad_alloc as well: this is an estimate, not a promise.

#include <cstddef>

namespace velkin {

// Bytes that can be taken now: the least of the room under the address
// space limit (RLIMIT_AS: ulimit -v, prlimit --as), under the memory limit of
// the process's cgroup, and the memory the system has available, swap
// included; plus what the C heap already holds free.
std::size_t MemoryRoom();

// Whether `bytes` more fit, with a margin left for the window's own needs.
bool RoomFor(std::size_t bytes);

}  // namespace velkin
