// The warnings the rules hand back are logged by the check: each subject
// once per policy load, however many checks on however many threads meet it.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "filter/rule_warnings.h"
#include "logging/log.h"
#include "policy/policies.h"
#include "testing/test_domain.h"

namespace zefa {
namespace {

size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// Many checks of two loads report the same two patterns: every pattern is
// logged once for each load, also when a check of the older load reports
// after the newer one was published.
TEST(RuleWarnings, EachSubjectIsLoggedOncePerLoad) {
  testing::TestDomain domain;
  const std::string log = domain.root() + "/warnings.log";
  SetLogFilePath(testing::T(log));
  const std::vector<RuleWarning> warnings = {
      {ZT("^(a+)+$"), ZT("RegEx ^(a+)+$ could not be matched (limit)")},
      {ZT("(b|bb)*c"), ZT("RegEx (b|bb)*c could not be matched (limit)")}};
  const auto checks = [&](std::vector<uint64_t> generations) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
      threads.emplace_back([&, t] {
        for (int i = 0; i < 50; ++i)
          LogRuleWarnings(warnings, generations[static_cast<size_t>(i + t) % generations.size()]);
      });
    for (std::thread& thread : threads) thread.join();
  };
  PublishPolicies(PolicyState());
  const uint64_t first = CurrentPolicies()->Generation;
  checks({first});
  PublishPolicies(PolicyState());
  const uint64_t second = CurrentPolicies()->Generation;
  ASSERT_GT(second, first);
  checks({first, second});
  const std::string text = testing::ReadFileText(log);
  EXPECT_EQ(Count(text, "\tWarning\tRegEx ^(a+)+$ could not be matched"), 2u) << text;
  EXPECT_EQ(Count(text, "\tWarning\tRegEx (b|bb)*c could not be matched"), 2u) << text;
}

}  // namespace
}  // namespace zefa
