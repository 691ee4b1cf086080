// Where a set's PwnedStore value points.
#pragma once

#include "platform/text.h"

namespace zefa {

// The file a PwnedStore value names: an absolute path as it is, anything
// else a file name in the words folder. Empty when the value is empty or a
// relative name climbs out of the folder ("..").
Text PwnedStorePath(const Text& configured, const Text& words_folder);

}  // namespace zefa
