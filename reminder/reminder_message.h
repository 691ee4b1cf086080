// The reminder's text: the template (the resultant PSO's description or the
// built-in message) with the user's attributes and the expiry date put in.
#pragma once

#include "directory/directory.h"

namespace zefa {

// Used when the account has no resultant PSO or its description is empty.
inline const WChar* const kBuiltInReminderMessage =
    ZT("Your Windows password will expire at $passwordExpiryDate and must be changed. Press the "
       "keys CTRL+ALT+DEL on your work computer (or CTRL+ALT+END when using a remote desktop "
       "connection) and choose 'Change a password'. Please be aware of any complexity "
       "requirements.");

// How the expiry date is written in the reminder.
inline const WChar* const kExpiryDatePattern = ZT("ddd, dd MMM yyyy HH:mm");

// Replaces every occurrence of `placeholder`, ignoring letter case, by
// `value`. The inserted text is not searched again for the same placeholder.
void ReplaceIgnoringCase(Text& text, const Text& placeholder, const Text& value);

// Replaces, in this order, $sAMAccountName, $userPrincipalName, $cn,
// $displayName, $sn, $givenName (the decoded attributes, empty when absent)
// and $passwordExpiryDate (`expiry_text`), each ignoring case. Text inserted
// by an earlier placeholder is searched by the later ones.
Text FillReminderTemplate(const Text& template_text, const AttributeMap& user_info,
                          const Text& expiry_text);

// The expiry in the user's language, empty when it cannot be computed
// (pwdLastSet empty or "0").
Text ExpiryDateText(const AttributeMap& user_info);

// The finished reminder for the user info: the PSO description that
// CheckUser put under "description" as the template when it is not empty,
// otherwise the built-in message.
Text ComposeReminderText(const AttributeMap& user_info);

}  // namespace zefa
