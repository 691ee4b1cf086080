// Name translation answered by the directory itself, for the platform
// implementations: the only way on POSIX, and the way on Windows when the
// system's own translation has no answer (no domain locator, a SID the local
// security authority cannot map). Each call opens its own connection with
// DirectoryOpen and closes it; any thread may call them. Empty text when the
// directory cannot be reached or has no answer.

#ifndef ZEFA_PLATFORM_DIRECTORY_NAME_TRANSLATION_H_
#define ZEFA_PLATFORM_DIRECTORY_NAME_TRANSLATION_H_

#include "platform/text.h"

namespace zefa::platform {

// The object's constructed canonicalName ("example.test/Staff/Engineering").
Text DirectoryTranslateDnToCanonical(const Text& dn);

// The domain's naming context found through its cross reference by DNS
// name, then one level at a time by each object's "name".
Text DirectoryTranslateCanonicalToDn(const Text& canonical);

// The sAMAccountName (or name) of the object with this objectSid, in the
// domain partition or among the well-known security principals.
Text DirectoryLookupAccountNameOfSid(const Text& sid_text);

}  // namespace zefa::platform

#endif  // ZEFA_PLATFORM_DIRECTORY_NAME_TRANSLATION_H_
