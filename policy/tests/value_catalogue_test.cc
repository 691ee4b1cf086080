// The catalogue of policy values against the administrative template and
// the registry reference it generates.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <string>

#include "policy/value_catalogue.h"
#include "testing/test_domain.h"
#include "platform/registry.h"

namespace zefa {
namespace {

std::string SourceFile(const std::string& path) {
  return testing::ReadFileText(std::string(CLAVORA_SOURCE_DIR) + "/" + path);
}

struct TemplateValue {
  std::string kind;  // "decimal", "switch", "text", "multiText"
  std::string minimum, maximum;
};

// Every value the template writes: "root:Name" or "set:Name" (set 1's
// policies stand for all eight), with its element kind and range.
std::map<std::string, TemplateValue> TemplateValues(const std::string& admx) {
  std::map<std::string, TemplateValue> values;
  const std::regex policy(
      R"re(<policy [^>]*key="Software\\Policies\\Clavora(\\[0-9])?"[^>]*>([\s\S]*?)</policy>)re");
  const std::regex switch_name(R"re(valueName="([A-Za-z0-9]+)")re");
  const std::regex element(
      R"re(<(decimal|text|multiText) id="[A-Za-z0-9]+" valueName="([A-Za-z0-9]+)"(?: minValue="([0-9]+)" maxValue="([0-9]+)")?)re");
  for (std::sregex_iterator it(admx.begin(), admx.end(), policy), end; it != end; ++it) {
    const std::string set = (*it)[1];
    if (!set.empty() && set != "\\1") continue;
    const std::string scope = set.empty() ? "root:" : "set:";
    const std::string whole = (*it)[0];
    const std::string head = whole.substr(0, whole.find('>'));
    std::smatch m;
    const std::string body = (*it)[2];
    if (std::regex_search(body, m, element)) {
      values[scope + m[2].str()] = {m[1], m[3], m[4]};
    } else if (std::regex_search(head, m, switch_name)) {
      values[scope + m[1].str()] = {"switch", "0", "1"};
    }
  }
  return values;
}

// The template and its language file say what the catalogue says: the same
// values in the same keys, the same kinds and ranges, the display name as
// the meaning, and the presentation's default where it shows one.
TEST(PolicyValueCatalogue, AgreesWithTheAdministrativeTemplate) {
  const std::string admx = SourceFile("admx/Clavora.admx");
  const std::string adml = SourceFile("admx/en-US/Clavora.adml");
  ASSERT_FALSE(admx.empty());
  ASSERT_FALSE(adml.empty());
  std::map<std::string, TemplateValue> in_template = TemplateValues(admx);
  for (const PolicyValue& value : PolicyValueCatalogue()) {
    const std::string name = TextToUtf8(value.Name);
    const std::string id = (value.Scope == ValueScope::kRoot ? "root:" : "set:") + name;
    SCOPED_TRACE(id);
    const auto found = in_template.find(id);
    ASSERT_NE(found, in_template.end()) << "not in the template";
    const TemplateValue& t = found->second;
    switch (value.Kind) {
      case ValueKind::kNumber:
        EXPECT_EQ(t.kind, "decimal");
        EXPECT_EQ(t.minimum, std::to_string(value.Minimum));
        EXPECT_EQ(t.maximum, std::to_string(value.Maximum));
        break;
      case ValueKind::kSwitch:
        EXPECT_EQ(t.kind, "switch");
        EXPECT_EQ(value.Minimum, 0);
        EXPECT_EQ(value.Maximum, 1);
        break;
      case ValueKind::kText:
        EXPECT_EQ(t.kind, "text");
        break;
      case ValueKind::kList:
        EXPECT_EQ(t.kind, "multiText");
        break;
    }
    EXPECT_NE(adml.find("<string id=\"" + name + "_Name\">" + value.Meaning + "</string>"),
              std::string::npos);
    const std::regex shown("refId=\"" + name + "\" defaultValue=\"([0-9]+)\"");
    std::smatch m;
    if (std::regex_search(adml, m, shown)) {
      EXPECT_EQ(value.Default[0], m[1].str()[0]);
    }
    in_template.erase(found);
  }
  for (const auto& [id, t] : in_template) ADD_FAILURE() << id << " is in the template only";
}

// docs/registry-values.md is what the catalogue generates
// (cmake --build build --target registry_reference writes it again).
TEST(PolicyValueCatalogue, RegistryReferenceIsGeneratedFromIt) {
  EXPECT_EQ(SourceFile("docs/registry-values.md"), RegistryReferenceMarkdown())
      << "run: cmake --build build --target registry_reference";
}

// A numeric value may be written as text in every form the filter reads,
// and nothing else passes as a number.
TEST(PolicyValueCatalogue, TextNumbersPassOnlyInTheFormsTheFilterReads) {
  for (const char* number : {"12", " 12", "-3", "+7", "$1F", "%101", "0"})
    EXPECT_TRUE(TypeSuitsKind(ValueKind::kNumber, platform::kRegSz, testing::T(number))) << number;
  for (const char* text : {"yes", "", "12abc", "$", "%102", "1 2", "0x10"})
    EXPECT_FALSE(TypeSuitsKind(ValueKind::kSwitch, platform::kRegSz, testing::T(text))) << text;
  EXPECT_FALSE(TypeSuitsKind(ValueKind::kText, platform::kRegDword, ZT("1")));
  EXPECT_TRUE(TypeSuitsKind(ValueKind::kList, platform::kRegMultiSz, ZT("a")));
  EXPECT_FALSE(TypeSuitsKind(ValueKind::kNumber, platform::kRegMultiSz, ZT("1")));
}

}  // namespace
}  // namespace zefa
