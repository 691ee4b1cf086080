// Process-wide state of the filter library: whether the server has been
// initialised, and the start and stop of the library.
#pragma once

#include "platform/module_entry.h"

namespace zefa {

bool Initialised();
void SetInitialised(bool value);

// Every process-wide state of the library, back to how a fresh load finds
// it, in one place: the maintenance worker and the directory view's keeper
// stopped, Initialised cleared, the directory view, the policy sets, the
// folders of the share, the attribute-decoding and directory-write caches,
// the offline breached-password stores, the rules' once-per-load warnings
// and the log's defaults. For tests that need a fresh library in one process.
void ResetLibraryState();

// The notification package's start: in test mode initialises the server on
// the calling thread, otherwise starts the maintenance worker once.
void StartFilter();

}  // namespace zefa
