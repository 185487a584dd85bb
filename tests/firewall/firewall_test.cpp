#include "firewall/firewall.h"

#include "base/msg.h"
#include "base/win.h"
#include "log/log.h"

#include "log_capture.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <oleauto.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

// The fake firewall objects (fake_firewall.c).
extern "C" {
extern VARIANT_BOOL g_fakeFwAppEnabled;
extern volatile LONG g_fakeFwRefs;
HRESULT RegisterFakeFirewall(BOOL on);
}

namespace {

using Calls = std::vector<std::wstring>;
using Failures = std::map<std::wstring, HRESULT>;  // call, with or without its argument -> its result
using Line = std::pair<std::int32_t, std::wstring>;
using Lines = std::vector<Line>;

const std::wstring kName = L"KorloGuestHelper", kRule = kName + L" (In)", kPath = L"C:\\Korlo\\KorloGuestHelper.exe";
const std::wstring kAddStep = L"Updating Windows Firewall exceptions list.";
const std::wstring kRemoveStep = L"Removing application from the firewall exceptions list.";
constexpr HRESULT kNotFound = static_cast<HRESULT>(0x80070002), kDenied = E_ACCESSDENIED;

Calls g_calls;
Failures g_failures;

template <class T>
std::vector<T> operator+(std::vector<T> a, const std::vector<T>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The manager's calls, then `each` after every profile's authorized applications.
Calls PerProfile(const Calls& each) {
  Calls calls = {L"Create NetFwMgr()", L"Mgr.LocalPolicy()"};
  for (const wchar_t* type : {L"0", L"1", L"2"}) {
    calls = calls + Calls{L"Policy.GetProfileByType(" + std::wstring(type) + L")", L"Profile.AuthorizedApplications()"};
    calls = calls + each;
  }
  return calls;
}

Lines Failed(const std::wstring& error, const std::wstring& message) {
  return {{kLogError, error}, {kLogError, message}, {kLogError, L"COM error:  Code: " + HexText(kDenied)}};
}

struct SCase {
  bool rules, add;
  Failures failures;
  Calls calls;  // all calls in order; empty: not compared
  Lines lines;  // written in this order, among others
  VARIANT_BOOL appEnabled = VARIANT_TRUE;
};

std::vector<SCase> Cases() {
  const Lines addOk = {{kLogMessage, kAddStep + L". Ok."}}, removeOk = {{kLogMessage, kRemoveStep + L". Ok."}};
  const Calls lookup = {L"Create NetFwPolicy2()", L"Policy2.Rules()", L"Rules.Item(" + kRule + L")"};
  const Calls enabled = {L"Apps.Item(" + kPath + L")", L"App.get_Enabled()"};
  const Failures noRule = {{L"Rules.Item", kNotFound}};
  std::vector<SCase> cases = {
      {true, true, noRule,
       lookup + Calls{L"Create NetFwRule()", L"Rule.Enabled(-1)", L"Rule.Protocol(6)", L"Rule.Profiles(2147483647)",
                      L"Rule.Action(1)", L"Rule.Name(" + kRule + L")",
                      L"Rule.Description(Inbound rule for " + kName + L")", L"Rule.ApplicationName(" + kPath + L")",
                      L"Rule.Direction(1)", L"Rule.Grouping(Korlo Networking)", L"Rules.Add()"},
       Lines{{kLogMessage, L"Service name: [" + kName + L"], path: [" + kPath + L"]."},
             {kLogMessage, L"Adding application to the exceptions list."}} + addOk},
      {true, true, {}, lookup + Calls{L"Rule.Enabled(-1)"}, addOk},
      {true, false, {}, lookup + Calls{L"Rules.Remove(" + kRule + L")"}, removeOk},
      {true, false, noRule, lookup, removeOk},
      // A new authorized application: the results of its properties are not checked.
      {false, true, {{L"Apps.Item", kNotFound}, {L"App.Name", kDenied}, {L"App.Scope", kDenied}},
       PerProfile({L"Apps.Item(" + kPath + L")", L"Create NetFwAuthorizedApplication()", L"App.Name(" + kName + L")",
                   L"App.ProcessImageFileName(" + kPath + L")", L"App.Enabled(-1)", L"App.IpVersion(2)",
                   L"App.RemoteAddresses(*)", L"App.Scope(0)", L"Apps.Add()"}),
       Lines{{kLogMessage, L"Local firewall policy was retrieved."},
             {kLogInfo, L"Application is not registered in the exceptions list. Status: [0x80070002]."}} + addOk},
      {false, true, {}, PerProfile(enabled),
       Lines{{kLogMessage, L"Application already included in list of authorized applications."}} + addOk},
      {false, true, {}, PerProfile(enabled + Calls{L"App.Enabled(-1)"}),
       Lines{{kLogWarning, L"Firewall exception was disabled. Trying to enable it."}} + addOk, VARIANT_FALSE},
      {false, false, {}, PerProfile({L"Apps.Remove(" + kPath + L")"}),
       Lines{{kLogMessage, L"Removing application from Windows Firewall exceptions list for profile [2].. Ok."}} +
           removeOk},
      {false, true, {{L"Policy.GetProfileByType(1)", kDenied}}, {},
       Failed(L"Unable to update Windows Firewall exceptions list for profile [1].",
              L"Firewall profile is unavailable.") +
           Lines{{kLogMessage, L"Updating Windows Firewall exceptions list for profile [2].. Ok."}} + addOk},
  };
  // One failure per way the update fails: the policy, the rules' look-up shared by adding and removing, a rule's
  // property, adding, removing, and in every profile (the line of profile 0 is checked). `missing`: the rule or
  // application is not found first.
  const struct {
    bool rules, add, perProfile, missing;
    const wchar_t* call;
    std::wstring message;
  } failures[] = {
      {true, true, false, false, L"Create NetFwPolicy2", L"Cannot create instance of the class [ptrFwPolicy]."},
      {true, false, false, false, L"Policy2.Rules", L"Unable to get firewall rules list."},
      {true, true, false, true, L"Rule.Grouping", L"Cannot set rule property. Property name: [Grouping]"},
      {true, true, false, true, L"Rules.Add", L"Unable to add rule."},
      {true, false, false, false, L"Rules.Remove", L"Failed to remove rule."},
      {false, false, false, false, L"Mgr.LocalPolicy", L"Unable to retrieve local firewall policy."},
      {false, false, true, false, L"Profile.AuthorizedApplications",
       L"Failed to get access to a collection of applications authorized open ports in the firewall."},
      {false, true, true, true, L"Apps.Add",
       L"Unable to add application to the firewall exceptions list. Application [" + kPath + L"]."},
  };
  const wchar_t* const kErrors[2][2] = {  // [per profile][add]
      {L"Cannot remove application from the firewall exceptions list.",
       L"Unable to update Windows Firewall exceptions list."},
      {L"Unable to remove application from Windows Firewall exceptions list for profile [0].",
       L"Unable to update Windows Firewall exceptions list for profile [0]."}};
  for (const auto& f : failures) {
    const std::wstring error = kErrors[f.perProfile][f.add];
    Failures failing = {{f.call, kDenied}};
    if (f.missing) failing[f.rules ? L"Rules.Item" : L"Apps.Item"] = kNotFound;
    const Lines end = {{kLogMessage, (f.add ? kAddStep : kRemoveStep) + (f.perProfile ? L". Ok." : L". Failed.")}};
    cases.push_back({f.rules, f.add, failing, {}, Failed(error, f.message) + end});
  }
  return cases;
}

class FirewallTest : public testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(RegisterFakeFirewall(TRUE), S_OK); }
  static void TearDownTestSuite() { RegisterFakeFirewall(FALSE); }
};

}  // namespace

extern "C" HRESULT FakeFwCall(const wchar_t* call, const wchar_t* text, long number) {
  const std::wstring line = std::wstring(call) + L"(" + (text ? std::wstring(text) : std::to_wstring(number)) + L")";
  g_calls.push_back(line);
  for (const std::wstring& key : {line, std::wstring(call)}) {
    if (g_failures.count(key)) return g_failures[key];
  }
  return S_OK;
}

TEST(FirewallVersionTest, RulesFromWindows6On) { EXPECT_TRUE(CFirewallExceptions().UsesRules()); }

TEST_F(FirewallTest, UpdatesTheFirewallAndLogsEveryFailure) {
  const std::vector<SCase> cases = Cases();
  for (const SCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "case " << &c - cases.data());
    g_calls.clear();
    g_failures = c.failures;
    g_fakeFwAppEnabled = c.appEnabled;
    const testing_support::CLogCapture capture;
    CFirewallExceptions firewall(c.rules);
    c.add ? firewall.AddFirewallException(kName, kPath) : firewall.RemoveFirewallException(kName, kPath);
    EXPECT_EQ(g_fakeFwRefs, 0);
    if (!c.calls.empty()) {
      EXPECT_EQ(g_calls, c.calls);
    }
    const auto lines = capture.Lines();
    auto at = lines.begin();
    for (const Line& want : c.lines) {
      while (at != lines.end() && (at->level != want.first || at->text != want.second)) ++at;
      if (at == lines.end()) {
        ADD_FAILURE() << "missing in order: " << testing_support::Narrow(want.second);
        break;
      }
      ++at;
    }
  }
}
