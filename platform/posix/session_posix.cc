// The user of this desktop session: who is logged on, and where the password
// is changed.
//
// The account is the principal of the user's default Kerberos credentials
// cache (KRB5CCNAME or the library's default), which on a domain member is
// the domain account the session authenticated with; without credentials the
// login name stands in, as it usually equals the account name.

#include <krb5.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/system.h"
#include "platform/session.h"

namespace zefa::platform {

namespace {

constexpr char kDefaultPasswordChangeCommand[] = "x-terminal-emulator -e passwd";

Text KerberosAccountName() {
  krb5_context context = nullptr;
  if (krb5_init_context(&context) != 0) return Text();
  Text account;
  krb5_ccache cache = nullptr;
  if (krb5_cc_default(context, &cache) == 0) {
    krb5_principal principal = nullptr;
    if (krb5_cc_get_principal(context, cache, &principal) == 0) {
      char* name = nullptr;
      if (krb5_unparse_name_flags(context, principal,
                                  KRB5_PRINCIPAL_UNPARSE_NO_REALM | KRB5_PRINCIPAL_UNPARSE_DISPLAY,
                                  &name) == 0) {
        account = Utf8ToText(name);
        krb5_free_unparsed_name(context, name);
      }
      krb5_free_principal(context, principal);
    }
    krb5_cc_close(context, cache);
  }
  krb5_free_context(context);
  return account;
}

Text LoginName() {
  struct passwd entry {};
  struct passwd* found = nullptr;
  char buffer[4096];
  if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr)
    return Text();
  return Utf8ToText(found->pw_name);
}

}  // namespace

SessionUser LoggedOnUser() {
  SessionUser user;
  user.account_name = KerberosAccountName();
  if (user.account_name.empty()) user.account_name = LoginName();
  return user;
}

bool StartPasswordChangeScreen() {
  const char* configured = std::getenv("CLAVORA_PASSWORD_CHANGE_COMMAND");
  const std::string command =
      configured != nullptr && *configured != '\0' ? configured : kDefaultPasswordChangeCommand;
  return StartProgramWithArguments(ZT("/bin/sh"), {ZT("-c"), Utf8ToText(command)}, Text());
}

}  // namespace zefa::platform
