// Catches copies of a secret left in freed memory. The test program that
// links testing/freed_memory_watch.cc gets its own global operator new and
// delete; while a watch is on, every block handed back to operator delete is
// searched for the watched byte patterns before it is freed. Blocks the
// standard strings and vectors free (a grown buffer, a temporary) are caught;
// memory freed by C libraries through free() is not looked at.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/text.h"

namespace zefa::testing {

// Starts watching for any of the patterns (at most 16, each 4 to 512 bytes;
// others are ignored). The patterns are copied, so the caller's copies may be
// freed once the watch is off again.
void WatchFreedMemory(const std::vector<std::string>& patterns);

// Ends the watch; the number of freed blocks that held a pattern.
size_t StopWatchingFreedMemory();

// The forms a text takes in memory: its UTF-16 units in memory order and its
// UTF-8 bytes.
std::vector<std::string> InMemoryForms(const Text& text);

}  // namespace zefa::testing
