// Writes into the directory for the policy objects: adding objects,
// replacing attribute values, the Password Settings Object, and the two
// cached name lookups (security group name -> DN, OU path -> DN).
//
// Every add and modify carries the lazy-commit control. A DN (object or
// value) that ends with "," has the domain's DN appended before it is sent.
#pragma once

#include <chrono>
#include <cstdint>
#include <utility>
#include <vector>

#include "directory/directory.h"
#include "platform/text.h"

namespace zefa {

// One add request: objectClass = `object_class` and, when `account_name` is
// not empty, sAMAccountName = `account_name`. Returns the LDAP result code.
int AddDirectoryObject(DirectoryConnection& connection, const Text& dn, const Text& object_class,
                       const Text& account_name);

// One modify request that replaces the attribute with `values`, each sent
// as one value (a DN may hold any character, "|" included). No values
// removes the attribute. A value ending in "," gets the domain's DN
// appended; a value starting with "/" is an OU path inside this domain and
// is sent as its DN (unchanged when the path does not translate). Returns
// the LDAP result code.
int SetAttributeValues(DirectoryConnection& connection, const Text& dn, const Text& attribute,
                       const std::vector<Text>& values);

// Adds the values `add` to the attribute and removes the values `remove`
// from it, leaving its other values alone (one value per DN, sent as given:
// no completion). The values go in requests of at most
// kValuesPerChangeRequest; a request the directory refuses is sent again
// value by value, where a value that is there already (for an add) or gone
// already (for a remove) counts as done. Returns 0, or the code of the
// first value that could not be written.
constexpr size_t kValuesPerChangeRequest = 500;
int ChangeAttributeValues(DirectoryConnection& connection, const Text& dn, const Text& attribute,
                          const std::vector<Text>& add, const std::vector<Text>& remove);

// One modify request that replaces the attribute with `text` as its one
// value, sent as it is (no splitting, no DN completion): for free text such
// as descriptions, which may hold "|" or end with ",". Empty text removes
// the attribute.
int SetAttributeText(DirectoryConnection& connection, const Text& dn, const Text& attribute,
                     const Text& text);

// The values SetAttributeValues sends for `values` (exposed for tests).
std::vector<Text> ExpandAttributeValues(const std::vector<Text>& values);

struct PasswordSettings {
  Text Description;
  Text AppliesTo;  // DN of the group the settings apply to
  int64_t Precedence = 0;
  int64_t LockoutThreshold = 0;
  int64_t LockoutDurationMin = 0;
  int64_t LockoutObservationWindowMin = 0;
  int64_t MaxPasswordAgeDays = 0;  // 0 = never expires
  int64_t MinPasswordAgeDays = 0;
  int64_t MinPasswordLength = 0;
  Text PasswordComplexity = ZT("FALSE");  // "TRUE" or "FALSE"
  int64_t PasswordHistoryLength = 0;
  Text ReversibleEncryption = ZT("FALSE");  // "TRUE" or "FALSE"
};

// The 13 attributes of a Password Settings Object as (name, value) pairs in
// the order they are sent; intervals as negative 100-ns counts.
std::vector<std::pair<Text, Text>> PasswordSettingsAttributes(const PasswordSettings& settings);

// Adds the Password Settings Object; when it exists already (result 68)
// replaces all its attributes instead. An empty description is left out of
// the add and removed by the replace (the directory refuses empty values).
// Returns the code of the last request.
int WritePasswordSettings(DirectoryConnection& connection, const Text& dn,
                          const PasswordSettings& settings);

// DN of the security group with this sAMAccountName; empty when there is
// none (distribution groups are never found). Cached; a group that was not
// found is looked for again after an hour, a search that failed is not
// cached.
Text FindSecurityGroupDn(DirectoryConnection& connection, const Text& group_name);

// DN of an OU given by canonical name; a name starting with "/" is taken
// inside this domain ("/Staff/Engineering"). Empty when it does not
// translate. Cached; a name that did not translate is tried again after an
// hour.
Text OuPathToDn(DirectoryConnection& connection, const Text& ou_path);

// Forgets both lookup caches (tests).
void ClearDirectoryWriteCaches();

// Moves the clock of both caches on (tests); ClearDirectoryWriteCaches
// sets it back.
void AdvanceDirectoryWriteCachesForTesting(std::chrono::seconds seconds);

}  // namespace zefa
