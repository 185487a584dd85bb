#include "rpc/rpc_auth.h"

#include "exc_checks.h"
#include "log_capture.h"
#include "settings/settings.h"
#include "test_support.h"

#include <rpc.h>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using testing_support::CatchExc;
using testing_support::CLogCapture;
using Texts = std::vector<std::wstring>;

const std::wstring kDn = L"CN=VM,CN=Computers,DC=example,DC=test";

// A domain member as the directory shows it; records every call in order.
class CFakeDirectory : public rpc::CDirectoryApi {
 public:
  std::map<DS_SPN_NAME_TYPE, Texts> spns{{DS_SPN_DNS_HOST, {L"Svc/vm.example.test"}}, {DS_SPN_NB_HOST, {L"Svc/VM"}}};
  DWORD spnError = 0, bindError = 0;
  std::map<std::wstring, DWORD> writeErrors;  // by SPN
  std::set<unsigned long> refusedAuth;
  Texts calls;

  DWORD GetDcName(ULONG flags, DOMAIN_CONTROLLER_INFOW** info) override {
    *info = &m_dc;
    return Record(L"GetDcName " + std::to_wstring(flags), 0);
  }
  DWORD FreeBuffer(void* buffer) override { return Record(buffer == &m_dc ? L"Free dc" : L"Free ?", 0); }
  DWORD Bind(const wchar_t* domain, HANDLE* binding) override {
    if (bindError == 0) *binding = this;
    return Record(L"Bind " + std::wstring(domain), bindError);
  }
  DWORD Unbind(HANDLE* binding) override { return Record(*binding == this ? L"Unbind" : L"Unbind ?", 0); }
  DWORD GetSpns(DS_SPN_NAME_TYPE type, const wchar_t* serviceClass, Texts& out) override {
    if (spnError == 0) out.insert(out.end(), spns[type].begin(), spns[type].end());
    return Record(L"GetSpns " + std::to_wstring(type) + L" " + serviceClass, spnError);
  }
  DWORD WriteAccountSpn(HANDLE binding, DS_SPN_WRITE_OP op, const wchar_t* account, const wchar_t* spn) override {
    const bool ok = binding == this && op == DS_SPN_ADD_SPN_OP && account == kDn;
    return Record(L"Write " + std::wstring(spn) + (ok ? L"" : L" ?"), writeErrors[spn]);
  }
  BOOLEAN GetUserNameEx(EXTENDED_NAME_FORMAT format, wchar_t* buffer, ULONG* size) override {
    const bool fits = buffer != nullptr && *size > kDn.size();
    if (fits) kDn.copy(buffer, kDn.size());
    *size = static_cast<ULONG>(fits ? kDn.size() : kDn.size() + 1);
    return Record(L"GetUserNameEx " + std::to_wstring(format), fits ? 0 : ERROR_MORE_DATA) == 0;
  }
  long RegisterAuthInfo(const wchar_t* principal, unsigned long service) override {
    return Record(L"Auth " + std::to_wstring(service) + L" " + principal,
                  refusedAuth.count(service) ? RPC_S_UNKNOWN_AUTHN_SERVICE : 0);
  }

 private:
  DWORD Record(const std::wstring& call, DWORD result) {
    calls.push_back(call);
    ::SetLastError(result);
    return result;
  }
  DOMAIN_CONTROLLER_INFOW m_dc = {const_cast<wchar_t*>(L"\\\\dc1.example.test"), nullptr, 0, {},
                                  const_cast<wchar_t*>(L"example.test"), nullptr, 0, nullptr, nullptr};
};

// The captured lines at `level`, in order.
Texts Lines(const CLogCapture& log, std::int32_t level) {
  Texts texts;
  for (const auto& line : log.Lines()) {
    if (line.level == level) texts.push_back(line.text);
  }
  return texts;
}

TEST(RpcAuth, SpnListHoldsDnsThenNetBiosNamesAndReportsFailures) {
  CFakeDirectory directory;
  EXPECT_EQ((Texts{L"Svc/vm.example.test", L"Svc/VM"}), rpc::GetServiceSpns(L"Svc", directory));
  EXPECT_EQ((Texts{L"GetSpns 0 Svc", L"GetSpns 2 Svc"}), directory.calls);
  const auto empty = CatchExc<CWin32Exc>([&] { rpc::GetServiceSpns(L"", directory); });
  EXPECT_TRUE(empty && empty->GetMessages().front() == L"ServiceName is empty" && empty->GetCode() == E_FAIL);
  directory.spnError = ERROR_NO_SUCH_DOMAIN;
  const auto failed = CatchExc<CWin32Exc>([&] { rpc::RegisterRpcAuthentication(L"Svc", directory); });
  ASSERT_TRUE(failed);
  EXPECT_TRUE(testing_support::StartsWith(failed->GetFullText(),
                                          L"Cannot initialize RPC authentication service.\r\nFailed to get SPN (DsGetSpn)\r\n"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_SUCH_DOMAIN), failed->GetWin32Error());
}

TEST(RpcAuth, NtlmAndKerberosAreOnlyFallBacksForARefusedNegotiate) {
  const Texts names = {L"RPC_C_AUTHN_GSS_NEGOTIATE", L"RPC_C_AUTHN_WINNT", L"RPC_C_AUTHN_GSS_KERBEROS"};
  const struct {
    std::set<unsigned long> refused;
    Texts services;  // tried per SPN
    size_t warnings;  // per SPN: the first names
  } cases[] = {{{}, {L"9"}, 0}, {{9}, {L"9", L"10", L"16"}, 1}, {{9, 10, 16}, {L"9", L"10", L"16"}, 3}};
  for (const auto& c : cases) {
    CFakeDirectory directory;
    directory.refusedAuth = c.refused;
    CLogCapture log;
    rpc::RegisterRpcAuthentication(L"Svc", directory);
    Texts tried = {L"GetSpns 0 Svc", L"GetSpns 2 Svc"}, warned;
    for (const std::wstring spn : {L"Svc/vm.example.test", L"Svc/VM"}) {
      for (const std::wstring& service : c.services) tried.push_back(L"Auth " + service + L" " + spn);
      for (size_t i = 0; i < c.warnings; ++i) {
        warned.push_back(L"Cannot register authentication information with the [" + names[i] +
                         L"] authentication service. SPN : [" + spn + L"].");
      }
    }
    EXPECT_EQ(tried, directory.calls);
    Texts lines;
    size_t causes = 0;  // each warning carries the RPC error one step deeper
    for (const std::wstring& line : Lines(log, kLogWarning)) {
      if (line.rfind(L"Cannot register", 0) == 0) lines.push_back(line);
      causes += line == L" Code: 1747";
    }
    EXPECT_EQ(warned, lines);
    EXPECT_EQ(warned.size(), causes);
    EXPECT_EQ((Texts{L"Service SPN: [Svc/vm.example.test]", L"Service SPN: [Svc/VM]"}), Lines(log, kLogInfo));
    EXPECT_TRUE(log.Contains(kLogMessage, L"Initializing RPC authentication service.. Ok."));
  }
  CFakeDirectory none;  // no SPN at all
  none.spns.clear();
  CLogCapture log;
  rpc::RegisterRpcAuthentication(L"Svc", none);
  EXPECT_EQ((Texts{L"SPN list is empty"}), Lines(log, kLogWarning));
  EXPECT_TRUE(log.Contains(kLogMessage, L"Initializing RPC authentication service.. Failed."));
}

TEST(RpcAuth, SpnRegistrationOnADomainMember) {
  const Texts found = {L"GetDcName 1073745920", L"GetUserNameEx 1", L"GetUserNameEx 1", L"GetSpns 0 Svc",
                       L"GetSpns 2 Svc", L"Bind example.test"};
  const Texts writes = {L"Write Svc/vm.example.test", L"Write Svc/VM", L"Unbind", L"Free dc"};
  const struct {
    std::function<void(CFakeDirectory&)> arrange;
    bool result;
    Texts after;   // calls after `found`
    Texts errors;  // their first lines
  } cases[] = {
      {[](CFakeDirectory&) {}, true, writes, {}},
      {[](CFakeDirectory& d) { d.writeErrors[L"Svc/vm.example.test"] = ERROR_ACCESS_DENIED; }, true, writes,
       {L"Failed to register SPN 'Svc/vm.example.test': Failed to write SPN to account (DsWriteAccountSpn): " +
        GetSystemText(ERROR_ACCESS_DENIED).substr(0, GetSystemText(ERROR_ACCESS_DENIED).find(L'\r'))}},
      {[](CFakeDirectory& d) { d.spns.clear(); }, false, {L"Unbind", L"Free dc"},
       {L"Failed to register SPN", L"Failed to get SPN: SPN list is empty"}},
      {[](CFakeDirectory& d) { d.bindError = ERROR_DS_DRA_ACCESS_DENIED; }, false, {L"Free dc"},
       {L"Failed to register SPN", L"Failed to bind Domain Controller (DsBindW)"}},
  };
  for (const auto& c : cases) {
    CFakeDirectory directory;
    c.arrange(directory);
    CLogCapture log;
    EXPECT_EQ(c.result, rpc::CSpnRegistrar(L"Guest", L"Svc", directory).RegisterSpns());
    Texts calls = found;
    calls.insert(calls.end(), c.after.begin(), c.after.end());
    EXPECT_EQ(calls, directory.calls);
    const Texts errors = Lines(log, kLogError);
    EXPECT_EQ(c.errors, Texts(errors.begin(), errors.begin() + std::min(errors.size(), c.errors.size())));
    EXPECT_TRUE(log.Contains(kLogInfo, L"Domain Controller name: '\\\\dc1.example.test'"));
    EXPECT_TRUE(log.Contains(kLogMessage, L"Registering SPN for 'Guest' service on '" + kDn + L"'" +
                                              (c.result ? L". Ok." : L". Failed.")));
  }
}

TEST(RpcAuth, SpnRegistrationCanBeDisabled) {
  testing_support::CTestRegKey settings(kSettingsKeyPath);
  settings.SetDword(L"KerberosAutomaticSPNRegistration", 0);
  CFakeDirectory directory;
  CLogCapture log;
  EXPECT_FALSE(rpc::CSpnRegistrar(L"Guest", L"Svc", directory).RegisterSpns());
  EXPECT_TRUE(directory.calls.empty());
  EXPECT_EQ((Texts{L"Kerberos automatic SPN registration is disabled (KerberosAutomaticSPNRegistration = false)."}),
            Lines(log, kLogInfo));
}

// The system's directory layer in this process: under Wine no domain, no
// DsGetSpnW (the SPNs come from the computer names) and Negotiate accepted.
TEST(RpcAuth, SystemDirectoryBuildsHostSpnsAndFindsNoDomain) {
  wchar_t netBios[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD size = ARRAYSIZE(netBios);
  ASSERT_TRUE(::GetComputerNameExW(ComputerNameNetBIOS, netBios, &size));
  const Texts spns = rpc::GetServiceSpns(rpc::kServiceClass);
  ASSERT_EQ(2u, spns.size());
  EXPECT_EQ(0u, spns[0].rfind(L"KorloGuestHelperSvc/", 0));
  EXPECT_EQ(L"KorloGuestHelperSvc/" + std::wstring(netBios), spns[1]);
  if (!rpc::RunsUnderWine()) return;
  testing_support::CTestRegKey settings(kSettingsKeyPath);
  CLogCapture log;
  rpc::RegisterRpcAuthentication(rpc::kServiceClass);
  EXPECT_TRUE(Lines(log, kLogWarning).empty());
  EXPECT_TRUE(log.Contains(kLogMessage, L"Initializing RPC authentication service.. Ok."));
  EXPECT_FALSE(rpc::CSpnRegistrar(rpc::kServiceClass, rpc::kServiceClass).RegisterSpns());
  const Texts lines = Lines(log, kLogMessage);
  EXPECT_EQ((Texts{L"Getting Domain Controller", L"Getting Domain Controller. Failed.",
                   L"Domain Controller was not found. No need to register SPN"}),
            Texts(lines.end() - std::min<size_t>(3, lines.size()), lines.end()));
}

}  // namespace
