// Name translation through the directory: distinguished names to canonical
// names and back, and SIDs to account names. Each call opens a connection of
// its own (see DirectoryOpen); nothing is cached here.

#include "platform/directory_name_translation.h"

#include "platform/directory_names.h"
#include "platform/directory.h"

namespace zefa::platform {

namespace {

constexpr int kScopeBase = 0;
constexpr int kScopeOneLevel = 1;
constexpr int kScopeSubtree = 2;

// Closes the connection when the translation is done, on every path.
struct Connection {
  DirectoryHandle* handle = DirectoryOpen();
  Connection() = default;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection() { DirectoryClose(handle); }
};

// Attribute names compare ASCII case-insensitively.
bool NameIs(const Text& name, std::string_view wanted) {
  if (name.size() != wanted.size()) return false;
  for (size_t i = 0; i < wanted.size(); ++i) {
    WChar a = name[i];
    char b = wanted[i];
    if (a >= u'A' && a <= u'Z') a = static_cast<WChar>(a + 32);
    if (b >= 'A' && b <= 'Z') b = static_cast<char>(b + 32);
    if (a != static_cast<WChar>(static_cast<unsigned char>(b))) return false;
  }
  return true;
}

// The first value of a text attribute, or empty text.
Text FirstValue(const DirectoryEntry& entry, std::string_view name) {
  for (const DirectoryAttribute& attribute : entry.attributes) {
    if (NameIs(attribute.name, name) && !attribute.values.empty()) {
      return Utf8ToText(attribute.values.front());
    }
  }
  return Text();
}

// One attribute of one object read with a base-scope search.
Text ReadAttribute(DirectoryHandle* handle, const Text& dn, const char* name) {
  std::vector<DirectoryEntry> entries;
  if (DirectorySearch(handle, dn, kScopeBase, Text(), {AsciiToText(name)}, 0, entries) != 0 ||
      entries.empty()) {
    return Text();
  }
  return FirstValue(entries.front(), name);
}

// The DN of the one entry a search finds; empty when it finds none or more.
Text OnlyMatch(DirectoryHandle* handle, const Text& base, int scope, const Text& filter,
               const char* attribute) {
  std::vector<DirectoryEntry> entries;
  if (DirectorySearch(handle, base, scope, filter, {AsciiToText(attribute)}, 0, entries) != 0 ||
      entries.size() != 1) {
    return Text();
  }
  return entries.front().dn;
}

// Components of a canonical name: split at "/", where "\" makes the next
// character literal ("\/" is a slash inside a name). One trailing "/" ends
// the name without adding a component ("example.test/" is the domain). Empty
// when the name is malformed.
std::vector<Text> CanonicalComponents(const Text& canonical) {
  std::vector<Text> components(1);
  for (size_t i = 0; i < canonical.size(); ++i) {
    const WChar c = canonical[i];
    if (c == u'\\' && i + 1 < canonical.size()) {
      components.back().push_back(canonical[++i]);
    } else if (c == u'/') {
      components.emplace_back();
    } else {
      components.back().push_back(c);
    }
  }
  if (components.size() > 1 && components.back().empty()) components.pop_back();
  for (const Text& component : components) {
    if (component.empty()) return {};
  }
  return components;
}

// "S-1-" followed by numbers separated by single "-".
bool IsSidText(const Text& sid) {
  if (sid.size() < 5 || sid.size() > 200 || (sid[0] != u'S' && sid[0] != u's') ||
      sid.compare(1, 3, ZT("-1-")) != 0) {
    return false;
  }
  bool digit_before = false;
  for (size_t i = 4; i < sid.size(); ++i) {
    if (sid[i] >= u'0' && sid[i] <= u'9') {
      digit_before = true;
    } else if (sid[i] == u'-' && digit_before) {
      digit_before = false;
    } else {
      return false;
    }
  }
  return digit_before;
}

// The account name of the entry: sAMAccountName where the entry has one
// (users, groups, computers, builtin groups), else its name (well-known
// principals, the domain itself).
Text AccountName(const DirectoryEntry& entry) {
  for (const char* attribute : {"sAMAccountName", "name", "cn"}) {
    Text value = FirstValue(entry, attribute);
    if (!value.empty()) return value;
  }
  return Text();
}

// The domain keeps a foreign security principal, named by the bare SID, for
// outside SIDs that are members of its groups (Authenticated Users among
// them); such an entry names nothing.
bool IsForeignPrincipal(const DirectoryEntry& entry) {
  for (const DirectoryAttribute& attribute : entry.attributes) {
    if (!NameIs(attribute.name, "objectClass")) continue;
    for (const std::string& value : attribute.values) {
      if (value == "foreignSecurityPrincipal") return true;
    }
  }
  return false;
}

}  // namespace

Text DirectoryTranslateDnToCanonical(const Text& dn) {
  if (dn.empty()) return Text();
  Connection connection;
  if (connection.handle == nullptr) return Text();
  return ReadAttribute(connection.handle, dn, "canonicalName");
}

Text DirectoryTranslateCanonicalToDn(const Text& canonical) {
  const std::vector<Text> components = CanonicalComponents(canonical);
  if (components.empty()) return Text();
  Connection connection;
  if (connection.handle == nullptr) return Text();

  // The domain's DNS name leads to its naming context through the cross
  // reference that the partitions container keeps for every domain.
  const Text configuration = ReadAttribute(connection.handle, Text(), "configurationNamingContext");
  if (configuration.empty()) return Text();
  const Text cross_ref_filter = ZT("(&(objectClass=crossRef)(dnsRoot=") +
                                EscapeFilterValue(components.front()) +
                                ZT(")(systemFlags:1.2.840.113556.1.4.803:=2))");
  std::vector<DirectoryEntry> partitions;
  if (DirectorySearch(connection.handle, ZT("CN=Partitions,") + configuration, kScopeOneLevel,
                      cross_ref_filter, {ZT("nCName")}, 0, partitions) != 0 ||
      partitions.size() != 1) {
    return Text();
  }
  Text dn = FirstValue(partitions.front(), "nCName");

  // Then one level at a time, by each object's relative name.
  for (size_t i = 1; i < components.size() && !dn.empty(); ++i) {
    dn = OnlyMatch(connection.handle, dn, kScopeOneLevel,
                   ZT("(name=") + EscapeFilterValue(components[i]) + ZT(")"), "1.1");
  }
  return dn;
}

Text DirectoryLookupAccountNameOfSid(const Text& sid_text) {
  if (!IsSidText(sid_text)) return Text();
  Connection connection;
  if (connection.handle == nullptr) return Text();

  Text sid = sid_text;
  sid[0] = u'S';
  const Text filter = ZT("(objectSid=") + EscapeFilterValue(sid) + ZT(")");
  const std::vector<Text> attributes = {ZT("sAMAccountName"), ZT("name"), ZT("cn"),
                                        ZT("objectClass")};

  // Accounts of the domain and its builtin groups live in the domain's own
  // partition; the well-known principals (Authenticated Users, Everyone, ...)
  // only in the configuration partition.
  std::vector<DirectoryEntry> entries;
  if (DirectorySearch(connection.handle, Text(), kScopeBase, Text(),
                      {ZT("defaultNamingContext"), ZT("configurationNamingContext")}, 0,
                      entries) != 0 ||
      entries.empty()) {
    return Text();
  }
  const Text domain = FirstValue(entries.front(), "defaultNamingContext");
  const Text configuration = FirstValue(entries.front(), "configurationNamingContext");
  if (!domain.empty() &&
      DirectorySearch(connection.handle, domain, kScopeSubtree, filter, attributes, 0, entries) ==
          0 &&
      !entries.empty() && !IsForeignPrincipal(entries.front())) {
    return AccountName(entries.front());
  }
  if (!configuration.empty() &&
      DirectorySearch(connection.handle, ZT("CN=WellKnown Security Principals,") + configuration,
                      kScopeOneLevel, filter, attributes, 0, entries) == 0 &&
      !entries.empty()) {
    return AccountName(entries.front());
  }
  return Text();
}

}  // namespace zefa::platform
