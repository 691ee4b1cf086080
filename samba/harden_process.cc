// HardenProcess in a file of its own: the check-password hook calls it, and
// linking it alone keeps the host's directory and TLS libraries out of the
// hook, which Samba starts for every password.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>

#include "samba/harden_process.h"

namespace zefa::host {

void HardenProcess() {
  const rlimit no_core{0, 0};
  setrlimit(RLIMIT_CORE, &no_core);
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  signal(SIGPIPE, SIG_IGN);
}

}  // namespace zefa::host
