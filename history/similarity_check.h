#pragma once

#include "platform/text.h"

namespace zefa {

// True when the account's history file holds an entry whose similarity hash
// equals that of `password`. A missing, empty or unreadable file, or an
// account name that cannot name a file, gives false.
bool SimilarToHistory(const Text& idh_folder, const Text& account, const Text& password);

}  // namespace zefa
