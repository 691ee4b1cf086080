// Name translation: POSIX has no system service for it, so the directory
// answers every question.

#include "platform/directory_name_translation.h"
#include "platform/directory.h"

namespace zefa::platform {

Text TranslateDnToCanonical(const Text& dn) { return DirectoryTranslateDnToCanonical(dn); }

Text TranslateCanonicalToDn(const Text& canonical) {
  return DirectoryTranslateCanonicalToDn(canonical);
}

Text LookupAccountNameOfSid(const Text& sid_text) {
  return DirectoryLookupAccountNameOfSid(sid_text);
}

}  // namespace zefa::platform
