#include "reminder/reminder_message.h"

#include "reminder/expiry.h"
#include "reminder/format_local_date.h"
#include "util/text_util.h"

namespace zefa {

void ReplaceIgnoringCase(Text& text, const Text& placeholder, const Text& value) {
  if (placeholder.empty()) return;
  const Text wanted = ToLower(placeholder);
  Text lower = ToLower(text);  // lower-casing keeps every code unit in place
  size_t at = lower.find(wanted);
  while (at != Text::npos) {
    text.replace(at, placeholder.size(), value);
    lower.replace(at, placeholder.size(), ToLower(value));
    at = lower.find(wanted, at + value.size());
  }
}

Text FillReminderTemplate(const Text& template_text, const AttributeMap& user_info,
                          const Text& expiry_text) {
  static const WChar* const kAttributes[] = {
      ZT("sAMAccountName"), ZT("userPrincipalName"), ZT("cn"), ZT("displayName"), ZT("sn"),
      ZT("givenName")};
  Text text = template_text;
  for (const WChar* attribute : kAttributes)
    ReplaceIgnoringCase(text, ZT("$") + Text(attribute), AttributeText(user_info, attribute));
  ReplaceIgnoringCase(text, ZT("$passwordExpiryDate"), expiry_text);
  return text;
}

Text ExpiryDateText(const AttributeMap& user_info) {
  const int64_t expiry = PasswordExpiry(user_info);
  if (expiry <= 0) return Text();  // FormatLocalDate would read 0 as "now"
  return FormatLocalDate(expiry, kExpiryDatePattern);
}

Text ComposeReminderText(const AttributeMap& user_info) {
  Text template_text = AttributeText(user_info, ZT("description"));
  if (template_text.empty()) template_text = kBuiltInReminderMessage;
  return FillReminderTemplate(template_text, user_info, ExpiryDateText(user_info));
}

}  // namespace zefa
