// Process-wide state of the filter library: whether the server has been
// initialised, and the start and stop of the library.
#pragma once

#include "platform/module_entry.h"

namespace zefa {

bool Initialised();
void SetInitialised(bool value);

// The notification package's start: in test mode initialises the server on
// the calling thread, otherwise starts the maintenance worker once.
void StartFilter();

}  // namespace zefa
