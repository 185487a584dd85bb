#include "host/service.h"
#include "host/svc_ctx.h"

#include "base/exc.h"

#include <gtest/gtest.h>

namespace {

TEST(CommandLineTest, OptionsMapSyntax) {
  const struct {
    std::vector<std::wstring> arguments;  // index 0 is the program path
    TOptions expected;
  } cases[] = {
      {{L"prog"}, {}},
      {{L"prog", L"stray", L"-dbg"}, {{L"dbg", L""}}},                                      // leading value ignored
      {{L"prog", L"-rpcPort", L"1", L"2"}, {{L"rpcPort", L"2"}}},                           // last value wins
      {{L"prog", L"-rpcPort", L"5000", L"-flr", L"-rpcPort"}, {{L"rpcPort", L""}, {L"flr", L""}}},  // re-entered
      {{L"prog", L"--x", L"v"}, {{L"-x", L"v"}}},                                           // one '-' stripped
      {{L"prog", L"-", L"v"}, {{L"", L"v"}}},
      {{L"prog", L"-Persistent", L"-a=b"}, {{L"Persistent", L""}, {L"a=b", L""}}},          // no case folding, no '='
      {{L"-notAnOption"}, {}},                                                              // index 0 is skipped
  };
  for (const auto& c : cases) {
    TOptions options = {{L"stale", L"1"}};
    ParseOptions(c.arguments, options);
    EXPECT_EQ(c.expected, options) << c.arguments.size();
  }
}

// The service control manager is told STOPPED only once the pending-status
// notification has ended: it is given 60000 ms for that.
TEST(ServiceTest, PendingNotificationIsGivenAMinuteToEnd) {
  EXPECT_EQ(60000u, CSvcPendingNotifier::kStopNotificationLimitMs);
}

TEST(CommandLineTest, RpcPortConversion) {
  EXPECT_EQ(0, ParseRpcPort({}));
  EXPECT_EQ(6000, ParseRpcPort({{L"rpcPort", L"6000"}}));
  EXPECT_EQ(0, ParseRpcPort({{L"rpcPort", L"0"}}));
  EXPECT_EQ(65535, ParseRpcPort({{L"rpcPort", L"65535"}}));
  for (const wchar_t* bad : {L"abc", L"70000", L"12a", L"", L" 1", L"65536"}) {
    try {
      ParseRpcPort({{L"rpcPort", bad}});
      ADD_FAILURE() << "accepted";
    } catch (const CExc& e) {
      EXPECT_EQ(static_cast<std::int32_t>(E_INVALIDARG), e.GetCode());
      EXPECT_EQ(L"Invalid value of the command line option [rpcPort]: [" + std::wstring(bad) + L"].",
                e.GetFullText());
    }
  }
}

}  // namespace
