// From a decoded request to the library's verdict.
#include "directory/user_record.h"
#include "samba/host_log.h"
#include "samba/host_server.h"

namespace zefa::host {

namespace {

Text TextOf(const WireText& text) { return Text(text.units, text.length); }

// Keeps an accepted password until the directory shows the change (or it
// is dropped unconfirmed, see ChangeWatcher). Nothing is read from the
// directory here: Samba waits for this answer, and a read could meet the
// very Samba process that waits.
void WatchAcceptedChange(RequestContext& context, const Text& account, const WireText& password,
                         int64_t requested_at) {
  // Nothing is known of the account here but its name; the library's
  // notification looks it up and leaves a computer's change alone anyway.
  if (context.watcher == nullptr || IsComputerAccount(account, UserRecord())) return;
  PendingChange change;
  if (!MakePendingChange(account, password.units, password.length, change)) {
    HostLog("no memory to keep the accepted change of %s; it will not be notified",
            Printable(TextToUtf8(account)).c_str());
    return;
  }
  change.accepted_at = requested_at;
  if (!AddPendingChange(*context.watcher, std::move(change)))
    HostLog("the host is stopping; the change of %s will not be notified",
            Printable(TextToUtf8(account)).c_str());
}

}  // namespace

Answer AnswerCheck(RequestContext& context, const CheckRequest& request) {
  const int64_t requested_at = DirectoryTimeNow();
  if (!LibraryInitialised(*context.library)) {
    // The library would refuse every password now; the client is told why
    // instead, and nothing is checked.
    HostLogVerbose("check of %s: the library is still initialising",
                   Printable(TextToUtf8(TextOf(request.account))).c_str());
    return {kStarting,
            "zefa-host is starting: the filter library has not finished its "
            "initialisation"};
  }
  ZEFA_UNICODE_STRING account = CountedText(request.account.units, request.account.length);
  ZEFA_UNICODE_STRING full_name = CountedText(request.full_name.units, request.full_name.length);
  ZEFA_UNICODE_STRING password = CountedText(request.password.units, request.password.length);
  const ZEFA_BOOLEAN set_operation = request.set_operation ? 1 : 0;
  bool accepted = false;
  // The library's reason, cut to what an answer carries.
  char reason[kMaxMessageBytes + 1] = {};
  if (context.library->check_password != nullptr) {
    ZEFA_UNICODE_STRING principal = CountedText(request.principal.units, request.principal.length);
    accepted = context.library->check_password(&account, &full_name, &principal, &password,
                                               set_operation, reason, sizeof reason) != 0;
  } else {
    accepted =
        context.library->password_filter(&account, &full_name, &password, set_operation) != 0;
  }
  const Text account_name = TextOf(request.account);
  HostLogVerbose("check of %s (%s): %s", Printable(TextToUtf8(account_name)).c_str(),
                 request.set_operation ? "reset" : "change", accepted ? "accepted" : "rejected");
  if (!accepted)
    return {kRejected, reason[0] != '\0' ? std::string(reason)
                                         : "the password does not meet the password policy"};
  WatchAcceptedChange(context, account_name, request.password, requested_at);
  return {kAccepted, ""};
}

Answer AnswerNotify(RequestContext& context, const NotifyRequest& request) {
  ZEFA_UNICODE_STRING account = CountedText(request.account.units, request.account.length);
  ZEFA_UNICODE_STRING password = CountedText(request.password.units, request.password.length);
  context.library->change_notify(&account, request.relative_id, &password);
  HostLogVerbose("change notification for %s",
                 Printable(TextToUtf8(TextOf(request.account))).c_str());
  return {kDone, ""};
}

}  // namespace zefa::host
