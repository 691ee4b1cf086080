// The library's policy reload: the sets from the registry, and with them the
// state other modules keep per load.
#pragma once

namespace zefa {

// LoadPolicies, and when the sets changed, before they are published: the
// offline breached-password stores the enabled sets name are opened (the old
// ones let go) and the rules' once-per-load RegEx warnings are forgotten.
// 1 when reloaded, 0 when nothing changed.
int ReloadPolicies();

}  // namespace zefa
