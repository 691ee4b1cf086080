#pragma once

#include "platform/text.h"

namespace zefa {

// Records a completed password change: log line and event 1, a history
// entry, the .idp hand-off file and the notify program when the account's
// policy set asks for them. Best effort throughout; a null argument or a
// computer account does nothing.
void RunPasswordChangeNotify(const Text* account_name, const Text* new_password);

// The notify program's working folder: the program path up to and
// including its last "\" or "/"; empty when it has none.
Text NotifyProgramFolder(const Text& program);

}  // namespace zefa
