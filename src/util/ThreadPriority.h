#pragma once

namespace kestrap {

// Lowers the calling thread's priority by `levels` nice levels, to 19 at most; nothing where
// the system refuses. On Linux a nice value belongs to one thread, and the threads it starts
// inherit it.
void lowerCallingThreadPriority(int levels);

}  // namespace kestrap
