// When a password expires and when the reminder is due, from the account's
// attributes as the directory code decodes them (dates as local date texts,
// password ages in whole days).
#pragma once

#include <cstdint>

#include "directory/directory.h"

namespace zefa {

// Days before the expiry from which on the reminder is shown.
inline constexpr int64_t kReminderLeadDays = 8;

// userAccountControl bit of accounts whose password never expires.
inline constexpr int64_t kDontExpirePassword = 0x10000;

// The text under `name`; empty when the key is absent. An exact key is
// preferred; otherwise the name is matched ignoring case, as directory
// servers may spell attribute names differently from the request.
Text AttributeText(const AttributeMap& attributes, const Text& name);
bool HasAttribute(const AttributeMap& attributes, const Text& name);

// "TRUE" when the userAccountControl flags say the password never expires,
// else "FALSE" (also when the flags are empty).
Text PasswordNeverExpiresText(const AttributeMap& user_info);

// The maximum password age in days: the resultant PSO's when the user info
// holds one, else the domain's maxPwdAge. 0 means no maximum age.
int64_t MaximumPasswordAgeDays(const AttributeMap& user_info);

// pwdLastSet as a date value; -1 when it is no date ("0", empty).
int64_t PasswordLastSet(const AttributeMap& user_info);

// pwdLastSet plus the maximum age; -1 when pwdLastSet is no date.
int64_t PasswordExpiry(const AttributeMap& user_info);

// True when a reminder is due at `now` (a local date value): the account has
// a finished reminder text, its password can expire, pwdLastSet is a date,
// the maximum age is not 0, and `now` lies strictly after the expiry minus
// kReminderLeadDays. Expired passwords are reminded of as well.
bool IsReminderDue(const AttributeMap& user_info, int64_t now);

}  // namespace zefa
