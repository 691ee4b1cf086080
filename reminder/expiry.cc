#include "reminder/expiry.h"

#include "policy/text_to_integer.h"
#include "util/date_value.h"
#include "util/text_util.h"

namespace zefa {

namespace {

constexpr int64_t kSecondsPerDay = 86400;

const AttributeMap::const_iterator FindAttribute(const AttributeMap& attributes, const Text& name) {
  const auto exact = attributes.find(name);
  if (exact != attributes.end()) return exact;
  const Text lower = ToLower(name);
  for (auto it = attributes.begin(); it != attributes.end(); ++it)
    if (ToLower(it->first) == lower) return it;
  return attributes.end();
}

}  // namespace

Text AttributeText(const AttributeMap& attributes, const Text& name) {
  const auto found = FindAttribute(attributes, name);
  return found == attributes.end() ? Text() : found->second;
}

bool HasAttribute(const AttributeMap& attributes, const Text& name) {
  return FindAttribute(attributes, name) != attributes.end();
}

Text PasswordNeverExpiresText(const AttributeMap& user_info) {
  const int64_t flags = TextToInteger(AttributeText(user_info, ZT("userAccountControl")));
  return (flags & kDontExpirePassword) != 0 ? ZT("TRUE") : ZT("FALSE");
}

int64_t MaximumPasswordAgeDays(const AttributeMap& user_info) {
  if (HasAttribute(user_info, ZT("msDS-MaximumPasswordAge")))
    return TextToInteger(AttributeText(user_info, ZT("msDS-MaximumPasswordAge")));
  return TextToInteger(AttributeText(user_info, ZT("maxPwdAge")));
}

int64_t PasswordLastSet(const AttributeMap& user_info) {
  return ParseDateValue(AttributeText(user_info, ZT("pwdLastSet")));
}

int64_t PasswordExpiry(const AttributeMap& user_info) {
  const int64_t last_set = PasswordLastSet(user_info);
  if (last_set == -1) return -1;
  return last_set + MaximumPasswordAgeDays(user_info) * kSecondsPerDay;
}

bool IsReminderDue(const AttributeMap& user_info, int64_t now) {
  if (AttributeText(user_info, ZT("info")).empty()) return false;
  if (AttributeText(user_info, ZT("_passwordNeverExpires")) != ZT("FALSE")) return false;
  const int64_t last_set = PasswordLastSet(user_info);
  if (last_set == -1) return false;
  const int64_t max_age = MaximumPasswordAgeDays(user_info);
  if (max_age == 0) return false;
  return now > last_set + (max_age - kReminderLeadDays) * kSecondsPerDay;
}

}  // namespace zefa
