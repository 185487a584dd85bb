// The real executable under Wine: command line, log start, configuration.
#include "host_runner.h"

#include <gtest/gtest.h>

namespace {

using testing_support::CHostRun;
using testing_support::ContainsText;
using testing_support::HasLineContaining;
using testing_support::ContainsInOrder;
using testing_support::Narrow;

const std::wstring kRule(96, L'=');

// The opening lines themselves are checked in the log folder's test; here
// that the host writes them first, with the full line prefix, and then its
// own lines.
TEST(HostTest, NoArgumentsStartsTheDispatcherAndLogsItsFailure) {
  CHostRun host;
  const auto result = host.Run(L"");
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(0u, result.exitCode);
  const auto lines = host.LogLines();
  ASSERT_GE(lines.size(), 12u);
  EXPECT_NE(std::wstring::npos, lines[0].find(L"  INFO    " + kRule)) << Narrow(lines[0]);
  const auto texts = host.LogTexts();
  EXPECT_TRUE(ContainsInOrder(texts, {kRule, L"Version", L"    Module path: [" + host.ExePath() + L"].",
                                      L"    Module version: [1.0.0.0].", L"}", L"Command line: " + host.ExePath(),
                                      L"    Loading service configuration.. Ok.",
                                      L"Cannot start service control dispatcher."}))
      << testing_support::JoinLines(texts);
  EXPECT_TRUE(HasLineContaining(texts, L"PID: "));
  EXPECT_TRUE(HasLineContaining(texts, L" Code: 1063")) << testing_support::JoinLines(texts);
}

TEST(HostTest, UnconvertibleRpcPortEndsTheRunInOrder) {
  CHostRun host;
  const auto result = host.Run(L"-flr -rpcPort abc");
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(0u, result.exitCode);
  const auto texts = host.LogTexts();
  EXPECT_TRUE(ContainsText(texts, L"Command line: " + host.ExePath() + L" -flr -rpcPort abc"));
  EXPECT_TRUE(ContainsText(texts, L"Invalid value of the command line option [rpcPort]: [abc]."))
      << testing_support::JoinLines(texts);
  EXPECT_FALSE(HasLineContaining(texts, L"PID: ")) << "the run went on";
}

}  // namespace
