// The filter library as the host loads it: by name (or path) with the
// dynamic loader, its notification-package entry points looked up, and
// unloaded again so that its unload routine runs as at the end of a
// security authority.
#pragma once

#include <string>

#include "filter/exports.h"
#include "filter/host_exports.h"

namespace zefa::host {

struct FilterLibrary {
  void* handle = nullptr;
  std::string name;
  decltype(&InitializeChangeNotify) initialize = nullptr;
  decltype(&PasswordFilter) password_filter = nullptr;
  decltype(&PasswordChangeNotify) change_notify = nullptr;
  // Optional: whether the library has finished its initialisation (a library
  // without this entry point counts as initialised).
  decltype(&ZefaInitialised) initialised = nullptr;
  // Optional: the password stamps of the library's directory view, and the
  // Warning for a change the host dropped unconfirmed.
  decltype(&ZefaPasswordStamps) password_stamps = nullptr;
  decltype(&ZefaChangeDropped) change_dropped = nullptr;
  // Optional: the check that also says why a password was rejected (a
  // library without it is asked through password_filter, and its rejections
  // come without a reason).
  decltype(&ZefaCheckPassword) check_password = nullptr;
};

// Whether the library has finished its initialisation and checks passwords.
bool LibraryInitialised(const FilterLibrary& library);

// Loads `name` (a file name searched as the loader does, or a path) and
// binds the three entry points (and the optional ones it has). On failure
// `error` holds the loader's text.
bool LoadFilterLibrary(const std::string& name, FilterLibrary& library, std::string& error);

// Unloads the library. True when it is gone from the process afterwards;
// false when the loader keeps it mapped (its unload routine then runs at
// process exit).
bool UnloadFilterLibrary(FilterLibrary& library);

// Counted text over existing code units, as the library expects it.
ZEFA_UNICODE_STRING CountedText(char16_t* units, size_t length);

}  // namespace zefa::host
