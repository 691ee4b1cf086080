// Name translation by the system: distinguished names to canonical names and
// back (TranslateNameW), and SIDs to account names (LookupAccountSidW). When
// the system has no answer (no domain controller located for the machine, a
// SID of a domain the machine does not trust) the directory that this
// process reaches answers instead.

#define SECURITY_WIN32
#include "platform/windows/win_util.h"

#include <sddl.h>
#include <security.h>

#include "platform/directory_name_translation.h"
#include "platform/directory.h"

namespace zefa::platform {

namespace {

Text Translate(const Text& name, EXTENDED_NAME_FORMAT from, EXTENDED_NAME_FORMAT to) {
  if (name.empty() || HasNul(name)) return Text();
  Text buffer(512, L'\0');
  for (int attempt = 0; attempt < 4; ++attempt) {
    ULONG size = static_cast<ULONG>(buffer.size());
    if (TranslateNameW(name.c_str(), from, to, buffer.data(), &size) != FALSE) {
      buffer.resize(size > 0 ? size - 1 : 0);  // the size counts the terminating NUL
      return buffer;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size <= buffer.size()) return Text();
    buffer.assign(size, L'\0');
  }
  return Text();
}

Text SystemLookupAccountNameOfSid(const Text& sid_text) {
  if (sid_text.size() < 5 || HasNul(sid_text)) return Text();
  Text normalised = sid_text;
  if (normalised[0] == L's') normalised[0] = L'S';
  PSID sid = nullptr;
  if (ConvertStringSidToSidW(normalised.c_str(), &sid) == FALSE) return Text();
  wchar_t name[512] = {};
  wchar_t domain[512] = {};
  DWORD name_size = 512, domain_size = 512;
  SID_NAME_USE use = SidTypeUnknown;
  const BOOL found = LookupAccountSidW(nullptr, sid, name, &name_size, domain, &domain_size, &use);
  LocalFree(sid);
  return found != FALSE ? Text(name) : Text();
}

}  // namespace

Text TranslateDnToCanonical(const Text& dn) {
  Text canonical = Translate(dn, NameFullyQualifiedDN, NameCanonical);
  return canonical.empty() && !dn.empty() ? DirectoryTranslateDnToCanonical(dn) : canonical;
}

Text TranslateCanonicalToDn(const Text& canonical) {
  Text dn = Translate(canonical, NameCanonical, NameFullyQualifiedDN);
  return dn.empty() && !canonical.empty() ? DirectoryTranslateCanonicalToDn(canonical) : dn;
}

Text LookupAccountNameOfSid(const Text& sid_text) {
  Text name = SystemLookupAccountNameOfSid(sid_text);
  return name.empty() ? DirectoryLookupAccountNameOfSid(sid_text) : name;
}

}  // namespace zefa::platform
