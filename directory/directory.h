// Short-lived directory connections and the reads every other module builds
// on. Attribute values arrive decoded to text (see attribute_decoding.h).
#pragma once

#include <map>
#include <vector>

#include "platform/directory.h"
#include "platform/text.h"

namespace zefa {

using AttributeMap = std::map<Text, Text>;      // attribute name -> decoded text
using EntryMap = std::map<Text, AttributeMap>;  // entry DN -> its attributes

struct DirectoryConnection {
  platform::DirectoryHandle* handle = nullptr;
};

struct NamingContexts {
  Text DefaultNamingContext;
  Text SchemaNamingContext;
  Text DomainCanonicalName;  // "example.test/"
};

// The naming values read at the last successful open.
NamingContexts CurrentNamingContexts();

// Opens a connection as the process's own identity and reads the RootDSE
// into the naming values. False (and no handle) when the connection, the
// bind or the RootDSE read failed; the naming values then stay as the last
// good read left them (also when a read gives no domain).
bool OpenDirectoryConnection(DirectoryConnection& connection);
void CloseDirectoryConnection(DirectoryConnection& connection);

// Base-scope read of one object into `attributes` (existing keys are
// overwritten, others kept). A base ending in "," gets the domain's DN
// appended. Returns the LDAP result code.
int ReadObject(DirectoryConnection& connection, AttributeMap& attributes, const Text& base_dn,
               const Text& attribute_list);

// Search with the given scope (0 base, 1 one level, 2 subtree). Base "root"
// is the domain; a base ending in "," gets the domain's DN appended; empty
// filter, attribute list or base mean none. Returns the result code.
int SearchObjects(DirectoryConnection& connection, EntryMap& entries, const Text& filter,
                  const Text& attribute_list, const Text& base_dn, int scope);

// The decoded text of one attribute of one object; empty when the read fails.
Text ReadAttributeText(DirectoryConnection& connection, const Text& dn, const Text& attribute);

// "a,b,c" -> {"a", "b", "c"}; names are not trimmed; empty text -> {}.
std::vector<Text> SplitAttributeList(const Text& attribute_list);

}  // namespace zefa
