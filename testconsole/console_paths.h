#pragma once

#include <vector>

#include "platform/text.h"

namespace zefa {

// The three paths the installation check examines, in order: the filter
// library where the installation puts it, the system folder and the public
// folder on the netlogon share.
std::vector<Text> InstallationCheckPaths(const Text& installed_library);

// One check line: "OK       ", "MISSING  " (absent) or "UNREADABLE " (there,
// but this process may not read it) followed by the path.
Text InstallationCheckLine(const Text& path);

// Whether a line of the check reports a failure (MISSING, UNREADABLE or
// PROBLEM), as /check counts them.
bool IsFailedCheckLine(const Text& line);

// The usage text: the lines of the test, the check and /check, with the
// report before the closing empty line.
std::vector<Text> UsageLines();

}  // namespace zefa
