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

// Each mode installs its configuration (the summary's layout, and which
// document a configuration file or its absence gives, are checked in the
// configuration's own test).
TEST(HostTest, ModesInstallTheirConfiguration) {
  const struct {
    const wchar_t* arguments;
    std::vector<std::wstring> expected;
  } cases[] = {
      {L"-flr -rpcPort 7000 -injectVss",
       {L"    Service name: [KorloFlrVssSupport].",
        L"    The following port should be used to serve incoming RPC connections: [7000].",
        L"        KorloVssSupport.dll"}},
      {L"-desktopVss -injectVss",
       {L"    Service name: [KorloDesktopVssSvc].",
        L"    The following port should be used to serve incoming RPC connections: [9821]."}},
      {L"-persistent -injectVss", {L"    Service name: [KorloVssSupport].", L"working in persistent mode"}},
  };
  for (const auto& c : cases) {
    CHostRun host;
    EXPECT_EQ(0u, host.Run(c.arguments).exitCode);
    const auto texts = host.LogTexts();
    EXPECT_TRUE(ContainsInOrder(texts, c.expected)) << Narrow(c.arguments) << "\n" << testing_support::JoinLines(texts);
  }
}

}  // namespace
