#pragma once

#include <vector>

#include "platform/text.h"

namespace zefa {

// The three paths the installation check examines, in order: the filter
// library where the installation puts it, the system folder and the public
// folder on the netlogon share.
std::vector<Text> InstallationCheckPaths(const Text& installed_library);

// One check line: "OK       " or "MISSING  " followed by the path.
Text InstallationCheckLine(const Text& path);

// The usage text: the five lines of the test and the check, with the report
// before the closing empty line.
std::vector<Text> UsageLines();

}  // namespace zefa
