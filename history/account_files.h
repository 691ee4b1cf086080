#pragma once

#include "platform/text.h"

namespace zefa {

// The path of an account's file in one of the system folders
// (folder + separator + account + extension), or empty text when the
// account name could leave the folder: a path separator of either platform,
// "..", a drive colon or a NUL in it, or an empty name or folder.
Text AccountFilePath(const Text& folder, const Text& account, const Text& extension);

}  // namespace zefa
