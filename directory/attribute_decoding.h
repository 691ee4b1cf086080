// Attribute values to text. The text form of an attribute follows from its
// schema syntax (looked up once per attribute name and cached) and from a
// fixed set of attribute names that override it. Several values are joined
// by "|".
#pragma once

#include <string>

#include "directory/directory.h"
#include "platform/directory.h"

namespace zefa {

enum class ValueForm {
  Plain,
  Guid,
  Sid,
  GeneralizedTime,
  UtcTime,
  FileTime,
  Minutes,
  Days,
  TokenGroups
};

Text DecodeAttributeValues(DirectoryConnection& connection,
                           const platform::DirectoryAttribute& attribute);

// "attributeSyntax|oMSyntax" of an attribute from the schema ("2.5.5.16|65"),
// empty when the schema has no answer (also cached).
Text LookupAttributeSyntax(DirectoryConnection& connection, const Text& attribute_name);

// The form for a lower-case attribute name with its syntax key.
ValueForm ChooseValueForm(const Text& lower_name, const Text& syntax_key);

// One value in a form; token groups are turned into their SID text only.
Text DecodeValue(ValueForm form, const std::string& bytes);

// The single-value conversions.
Text GuidText(const std::string& bytes);                       // 8-4-4-4-12, upper case
Text SidText(const std::string& bytes);                        // S-1-5-...; empty when invalid
Text FileTimeText(const std::string& decimal);                 // local date text, "0" or minutes
Text IntervalText(const std::string& decimal, int64_t units);  // whole minutes or days
// Local date text; empty for a malformed time (non-digits, or fields that
// name no real second: month 13, 30 February, hour 24 ...).
Text GeneralizedTimeText(const std::string& text);
Text UtcTimeText(const std::string& text);

// Forgets the schema and SID name caches (tests).
void ClearDecodingCaches();

}  // namespace zefa
