#pragma once

#include <vector>

#include "platform/text.h"
#include "policy/policy_set.h"

namespace zefa {

// The applied-policy listing shown by the test console, one text per line.
std::vector<Text> PolicyDumpLines(const PolicySet& set);

// Prints the listing on the console.
void PrintPolicyDump(const PolicySet& set);

}  // namespace zefa
