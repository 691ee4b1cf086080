#include "directory/directory.h"

#include <mutex>

#include "directory/attribute_decoding.h"
#include "platform/directory_names.h"
#include "util/text_util.h"
#include "platform/directory.h"

namespace zefa {

namespace {

std::mutex naming_lock;
NamingContexts& Naming() {
  static NamingContexts* naming = new NamingContexts;
  return *naming;
}

Text CompleteBase(const Text& base) {
  if (!base.empty() && base.back() == ZT(','))
    return base + CurrentNamingContexts().DefaultNamingContext;
  return base;
}

void CopyEntryAttributes(DirectoryConnection& connection, AttributeMap& attributes,
                         const platform::DirectoryEntry& entry) {
  for (const platform::DirectoryAttribute& attribute : entry.attributes)
    attributes[attribute.name] = DecodeAttributeValues(connection, attribute);
}

}  // namespace

NamingContexts CurrentNamingContexts() {
  std::lock_guard<std::mutex> guard(naming_lock);
  return Naming();
}

std::vector<Text> SplitAttributeList(const Text& attribute_list) {
  if (attribute_list.empty()) return {};
  return SplitFields(attribute_list, ZT(','));
}

bool OpenDirectoryConnection(DirectoryConnection& connection) {
  connection.handle = platform::DirectoryOpen();
  if (connection.handle == nullptr) return false;
  AttributeMap root;
  const int rc =
      ReadObject(connection, root, Text(), ZT("defaultNamingContext,schemaNamingContext"));
  // The naming values are shared by every thread: a read that failed, or
  // that gave no domain, leaves those of the last good read in place. A
  // connection that cannot even read the RootDSE is of no use.
  if (rc != 0) {
    CloseDirectoryConnection(connection);
    return false;
  }
  NamingContexts naming;
  naming.DefaultNamingContext = root[ZT("defaultNamingContext")];
  naming.SchemaNamingContext = root[ZT("schemaNamingContext")];
  if (naming.DefaultNamingContext.empty()) return true;
  // The domain's canonical name follows from its DN; it is translated (a
  // connection of its own) only when the DN is new or had no translation.
  const NamingContexts previous = CurrentNamingContexts();
  if (naming.DefaultNamingContext == previous.DefaultNamingContext) {
    naming.DomainCanonicalName = previous.DomainCanonicalName;
  }
  if (naming.DomainCanonicalName.empty()) {
    naming.DomainCanonicalName = platform::TranslateDnToCanonical(naming.DefaultNamingContext);
  }
  std::lock_guard<std::mutex> guard(naming_lock);
  Naming() = naming;
  return true;
}

void CloseDirectoryConnection(DirectoryConnection& connection) {
  if (connection.handle != nullptr) platform::DirectoryClose(connection.handle);
  connection.handle = nullptr;
}

int ReadObject(DirectoryConnection& connection, AttributeMap& attributes, const Text& base_dn,
               const Text& attribute_list) {
  std::vector<platform::DirectoryEntry> entries;
  const int rc = platform::DirectorySearch(connection.handle, CompleteBase(base_dn), 0, Text(),
                                           SplitAttributeList(attribute_list), 0, entries);
  if (rc != 0) return rc;
  if (!entries.empty()) CopyEntryAttributes(connection, attributes, entries.front());
  return 0;
}

int SearchObjects(DirectoryConnection& connection, EntryMap& entries, const Text& filter,
                  const Text& attribute_list, const Text& base_dn, int scope) {
  if (connection.handle == nullptr) return 0;
  Text base = base_dn == ZT("root") ? CurrentNamingContexts().DefaultNamingContext : base_dn;
  std::vector<platform::DirectoryEntry> found;
  const int rc = platform::DirectorySearch(connection.handle, CompleteBase(base), scope, filter,
                                           SplitAttributeList(attribute_list), 0, found);
  if (rc != 0) return rc;
  for (const platform::DirectoryEntry& entry : found)
    CopyEntryAttributes(connection, entries[entry.dn], entry);
  return 0;
}

Text ReadAttributeText(DirectoryConnection& connection, const Text& dn, const Text& attribute) {
  std::vector<platform::DirectoryEntry> entries;
  const int rc = platform::DirectorySearch(connection.handle, CompleteBase(dn), 0, Text(),
                                           {attribute}, 0, entries);
  if (rc != 0 || entries.empty()) return Text();
  for (const platform::DirectoryAttribute& found : entries.front().attributes)
    if (ToLower(found.name) == ToLower(attribute)) return DecodeAttributeValues(connection, found);
  return Text();
}

}  // namespace zefa
