// The process hardening that the host and the check-password hook share.
#pragma once

namespace zefa::host {

// Keeps core files away from the process and from anyone who could read its
// memory through /proc or ptrace, and ignores SIGPIPE.
void HardenProcess();

}  // namespace zefa::host
