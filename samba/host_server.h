// zefa-host's service loop: the listening socket, one thread per connection
// (at most max_clients at once), the requests, and the orderly stop.
#pragma once

#include <cstdint>
#include <string>

#include "samba/filter_library.h"
#include "samba/harden_process.h"
#include "samba/host_options.h"
#include "samba/host_protocol.h"
#include "samba/pending_changes.h"
#include "samba/peer_credentials.h"

namespace zefa::host {

// Binds the listening socket at `path`: a stale socket file left by an ended
// host is replaced, a live one (another host answers) or any other file is
// an error, and so is a folder that others could write into (see
// SocketFolderTrusted). The socket gets mode 0600, or 0660 with `group` as its group.
// Returns the descriptor or -1 with `error` set.
int OpenListeningSocket(const std::string& path, bool group_allowed, unsigned group,
                        std::string& error);

struct Answer {
  uint8_t kind = kErrorMalformed;
  std::string message;
};

// What the host needs to answer a request.
struct RequestContext {
  FilterLibrary* library = nullptr;
  ChangeWatcher* watcher = nullptr;  // nullptr: accepted changes are not watched
};

// One decoded request to its answer; the payload (and so the password) is
// wiped by the caller.
Answer AnswerCheck(RequestContext& context, const CheckRequest& request);
Answer AnswerNotify(RequestContext& context, const NotifyRequest& request);

// The whole service: from loading the library to the orderly stop on
// SIGTERM or SIGINT. Returns the process exit code.
int RunHost(const HostSettings& settings);

}  // namespace zefa::host
