#pragma once

#include "platform/text.h"

namespace zefa {

// Local path of an ordinary disk share of this server whose name equals
// `share_name` (compared in lower case), or, with `prefix` nonzero, begins
// with it. Empty when there is none.
Text FindSharePath(const Text& share_name, int prefix);

}  // namespace zefa
