// The configuration check of zefatest /v and /check: what is wrong with the
// policy key, one line per problem.
#pragma once

#include <vector>

#include "platform/text.h"

namespace zefa {

// One "PROBLEM  " line for each mistake under the policy key: a key that
// cannot be read, a subkey that is not a set (1 to 8), a value name the filter
// does not know (with the closest known name), a value of the wrong type or
// out of its range, a RegEx that does not compile, a ForbiddenFile that is
// missing or unreadable in `words_folder`, a PwnedStore that cannot be
// opened, and a filter release recorded on this machine that differs from
// this program's.
std::vector<Text> ConfigurationProblemLines(const Text& words_folder);

}  // namespace zefa
