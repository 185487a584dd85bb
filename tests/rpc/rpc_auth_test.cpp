#include "rpc/rpc_auth.h"

#include "exc_checks.h"
#include "log_capture.h"
#include "settings/settings.h"
#include "test_support.h"

#include <rpc.h>

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using testing_support::CatchExc;
using testing_support::CLogCapture;
using testing_support::IsCauseLine;
using Texts = std::vector<std::wstring>;

// A domain member as the directory shows it; records every call in order.
class CFakeDirectory : public rpc::CDirectoryApi {
 public:
  std::map<DS_SPN_NAME_TYPE, Texts> spns{{DS_SPN_DNS_HOST, {L"Svc/vm.example.test"}}, {DS_SPN_NB_HOST, {L"Svc/VM"}}};
  DWORD spnError = ERROR_SUCCESS;
  DWORD dcError = ERROR_SUCCESS;
  DWORD bindError = ERROR_SUCCESS;
  std::map<std::wstring, DWORD> writeErrors;  // by SPN
  std::set<unsigned long> refusedAuth;        // refused with RPC_S_UNKNOWN_AUTHN_SERVICE
  Texts calls;

  DWORD GetDcName(ULONG flags, DOMAIN_CONTROLLER_INFOW** info) override {
    calls.push_back(L"GetDcName " + std::to_wstring(flags));
    if (dcError == ERROR_SUCCESS) *info = &m_dc;
    return dcError;
  }
  DWORD FreeBuffer(void* buffer) override {
    calls.push_back(buffer == &m_dc ? L"Free dc" : L"Free other");
    return ERROR_SUCCESS;
  }
  DWORD Bind(const wchar_t* domainName, HANDLE* binding) override {
    calls.push_back(L"Bind " + std::wstring(domainName));
    if (bindError == ERROR_SUCCESS) *binding = this;
    return bindError;
  }
  DWORD Unbind(HANDLE* binding) override {
    calls.push_back(*binding == this ? L"Unbind" : L"Unbind other");
    return ERROR_SUCCESS;
  }
  DWORD GetSpns(DS_SPN_NAME_TYPE type, const wchar_t* serviceClass, Texts& out) override {
    calls.push_back(L"GetSpns " + std::to_wstring(type) + L" " + serviceClass);
    if (spnError != ERROR_SUCCESS) return spnError;
    out.insert(out.end(), spns[type].begin(), spns[type].end());
    return ERROR_SUCCESS;
  }
  DWORD WriteAccountSpn(HANDLE binding, DS_SPN_WRITE_OP op, const wchar_t* account, const wchar_t* spn) override {
    calls.push_back(L"Write " + std::to_wstring(op) + L" " + account + L" " + spn + (binding == this ? L"" : L" ?"));
    return writeErrors.count(spn) ? writeErrors[spn] : ERROR_SUCCESS;
  }
  BOOLEAN GetUserNameEx(EXTENDED_NAME_FORMAT format, wchar_t* buffer, ULONG* size) override {
    calls.push_back(L"GetUserNameEx " + std::to_wstring(format));
    const std::wstring dn = L"CN=VM,CN=Computers,DC=example,DC=test";
    if (buffer == nullptr || *size <= dn.size()) {
      *size = static_cast<ULONG>(dn.size() + 1);
      ::SetLastError(ERROR_MORE_DATA);
      return FALSE;
    }
    dn.copy(buffer, dn.size());
    buffer[dn.size()] = L'\0';
    *size = static_cast<ULONG>(dn.size());
    return TRUE;
  }
  long RegisterAuthInfo(const wchar_t* principal, unsigned long service) override {
    calls.push_back(L"Auth " + std::to_wstring(service) + L" " + principal);
    return refusedAuth.count(service) ? RPC_S_UNKNOWN_AUTHN_SERVICE : RPC_S_OK;
  }

 private:
  DOMAIN_CONTROLLER_INFOW m_dc = {const_cast<wchar_t*>(L"\\\\dc1.example.test"), nullptr, 0, {},
                                  const_cast<wchar_t*>(L"example.test"), nullptr, 0, nullptr, nullptr};
};

// The captured lines at `level` (0: every level), in order.
Texts Lines(const CLogCapture& log, std::int32_t level = 0) {
  Texts texts;
  for (const auto& line : log.Lines()) {
    if (level == 0 || line.level == level) texts.push_back(line.text);
  }
  return texts;
}

// The system's text without its closing line break (the log drops it).
std::wstring Trimmed(std::wstring text) {
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
  return text;
}

Texts Tail(const Texts& texts, size_t count) {
  return Texts(texts.end() - std::min(count, texts.size()), texts.end());
}

std::wstring Warning(const wchar_t* service, const wchar_t* spn) {
  return L"Cannot register authentication information with the [" + std::wstring(service) +
         L"] authentication service. SPN : [" + spn + L"].";
}

TEST(RpcAuth, SpnListHoldsDnsThenNetBiosNamesAndReportsFailures) {
  CFakeDirectory directory;
  EXPECT_EQ((Texts{L"Svc/vm.example.test", L"Svc/VM"}), rpc::GetServiceSpns(L"Svc", directory));
  EXPECT_EQ((Texts{L"GetSpns 0 Svc", L"GetSpns 2 Svc"}), directory.calls);

  const auto empty = CatchExc<CWin32Exc>([&] { rpc::GetServiceSpns(L"", directory); });
  ASSERT_TRUE(empty);
  EXPECT_EQ(L"ServiceName is empty", empty->GetMessages().front());
  EXPECT_EQ(static_cast<std::int32_t>(E_FAIL), empty->GetCode());

  directory.spnError = ERROR_NO_SUCH_DOMAIN;
  const auto failed = CatchExc<CWin32Exc>([&] { rpc::GetServiceSpns(L"Svc", directory); });
  ASSERT_TRUE(failed);
  EXPECT_EQ(L"Failed to get SPN (DsGetSpn)", failed->GetMessages().front());
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_SUCH_DOMAIN), failed->GetWin32Error());
}

TEST(RpcAuth, NtlmAndKerberosAreOnlyFallBacksForARefusedNegotiate) {
  const struct {
    std::set<unsigned long> refused;
    Texts registrations;  // per SPN
    Texts warnings;       // per SPN
  } cases[] = {
      {{}, {L"9"}, {}},
      {{9}, {L"9", L"10", L"16"}, {L"RPC_C_AUTHN_GSS_NEGOTIATE"}},
      {{9, 10, 16}, {L"9", L"10", L"16"},
       {L"RPC_C_AUTHN_GSS_NEGOTIATE", L"RPC_C_AUTHN_WINNT", L"RPC_C_AUTHN_GSS_KERBEROS"}},
  };
  for (const auto& c : cases) {
    CFakeDirectory directory;
    directory.refusedAuth = c.refused;
    CLogCapture log;
    rpc::RegisterRpcAuthentication(L"Svc", directory);
    Texts registrations, warnings;
    for (const wchar_t* spn : {L"Svc/vm.example.test", L"Svc/VM"}) {
      for (const std::wstring& service : c.registrations) registrations.push_back(L"Auth " + service + L" " + spn);
      for (const std::wstring& service : c.warnings) warnings.push_back(Warning(service.c_str(), spn));
    }
    EXPECT_EQ(registrations, Texts(directory.calls.begin() + 2, directory.calls.end()));
    Texts warned;
    for (const auto& line : log.Lines()) {
      if (line.level == kLogWarning && line.text.rfind(L"Cannot register", 0) == 0) warned.push_back(line.text);
    }
    EXPECT_EQ(warnings, warned);
    EXPECT_TRUE(log.Contains(kLogInfo, L"Service SPN: [Svc/VM]"));
    EXPECT_TRUE(log.Contains(kLogMessage, L"Initializing RPC authentication service.. Ok."));
    if (!c.warnings.empty()) {  // each warning carries the RPC error one step deeper
      EXPECT_TRUE(log.Contains(kLogWarning, L" Code: 1747"));
    }
  }
}

TEST(RpcAuth, AuthenticationWithoutSpnsWarnsOrFails) {
  CFakeDirectory directory;
  directory.spns.clear();
  {
    CLogCapture log;
    rpc::RegisterRpcAuthentication(L"Svc", directory);
    EXPECT_TRUE(log.Contains(kLogWarning, L"SPN list is empty"));
    EXPECT_TRUE(log.Contains(kLogMessage, L"Initializing RPC authentication service.. Failed."));
  }
  const auto e = CatchExc<CExc>([] { rpc::RegisterRpcAuthentication(L""); });
  ASSERT_TRUE(e);
  EXPECT_EQ((Texts{L"Cannot initialize RPC authentication service.", L"ServiceName is empty"}),
            Texts(e->GetMessages().begin(), e->GetMessages().begin() + 2));
}

// The SPN registration on a domain member, by what the directory does.
TEST(RpcAuth, SpnRegistrationOnADomainMember) {
  const std::wstring dn = L"CN=VM,CN=Computers,DC=example,DC=test";
  const std::wstring write = L"Write 0 " + dn + L" ";
  const Texts found = {L"GetDcName 1073745920", L"GetUserNameEx 1", L"GetUserNameEx 1", L"GetSpns 0 Svc",
                       L"GetSpns 2 Svc", L"Bind example.test"};
  const struct {
    const char* name;
    std::function<void(CFakeDirectory&)> arrange;
    bool result;
    const wchar_t* bindClosing;
    Texts tailCalls;  // after `found` (or all calls when `found` is not reached)
    Texts errors;
  } cases[] = {
      {"all written", [](CFakeDirectory&) {}, true, L". Ok.",
       {write + L"Svc/vm.example.test", write + L"Svc/VM", L"Unbind", L"Free dc"}, {}},
      {"one write refused", [](CFakeDirectory& d) { d.writeErrors[L"Svc/vm.example.test"] = ERROR_ACCESS_DENIED; },
       true, L". Ok.", {write + L"Svc/vm.example.test", write + L"Svc/VM", L"Unbind", L"Free dc"},
       {L"Failed to register SPN 'Svc/vm.example.test': Failed to write SPN to account (DsWriteAccountSpn): " +
        Trimmed(GetSystemText(ERROR_ACCESS_DENIED))}},
      {"empty list", [](CFakeDirectory& d) { d.spns.clear(); }, false, L". Ok.", {L"Unbind", L"Free dc"},
       {L"Failed to register SPN", L"Failed to get SPN: SPN list is empty"}},
      {"bind refused", [](CFakeDirectory& d) { d.bindError = ERROR_DS_DRA_ACCESS_DENIED; }, false, L". Failed.",
       {L"Free dc"},
       {L"Failed to register SPN", L"Failed to bind Domain Controller (DsBindW)"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CFakeDirectory directory;
    c.arrange(directory);
    CLogCapture log;
    EXPECT_EQ(c.result, rpc::CSpnRegistrar(L"Guest", L"Svc", directory).RegisterSpns());
    Texts expected = found;
    expected.insert(expected.end(), c.tailCalls.begin(), c.tailCalls.end());
    EXPECT_EQ(expected, directory.calls);
    const Texts errors = Lines(log, kLogError);
    EXPECT_EQ(c.errors, Texts(errors.begin(), errors.begin() + std::min(errors.size(), c.errors.size())));
    EXPECT_TRUE(log.Contains(kLogInfo, L"Domain Controller name: '\\\\dc1.example.test'"));
    EXPECT_TRUE(log.Contains(kLogMessage, L"Binding Domain Controller '\\\\dc1.example.test' (Domain "
                                          L"Name='example.test')" + std::wstring(c.bindClosing)));
    EXPECT_TRUE(log.Contains(kLogMessage, L"Registering SPN for 'Guest' service on '" + dn + L"'" +
                                              (c.result ? L". Ok." : L". Failed.")));
  }
}

TEST(RpcAuth, SpnRegistrationStopsWithoutDomainControllerOrWhenDisabled) {
  testing_support::CTestRegKey settings(kSettingsKeyPath);
  {
    CFakeDirectory directory;
    directory.dcError = ERROR_NO_SUCH_DOMAIN;
    CLogCapture log;
    EXPECT_FALSE(rpc::CSpnRegistrar(L"Guest", L"Svc", directory).RegisterSpns());
    EXPECT_EQ((Texts{L"GetDcName 1073745920"}), directory.calls);
    EXPECT_EQ((Texts{L"Getting Domain Controller", L"Getting Domain Controller. Failed.",
                     L"Domain Controller was not found. No need to register SPN"}),
              Tail(Lines(log, kLogMessage), 3));
  }
  settings.SetDword(L"KerberosAutomaticSPNRegistration", 0);
  CFakeDirectory directory;
  CLogCapture log;
  EXPECT_FALSE(rpc::CSpnRegistrar(L"Guest", L"Svc", directory).RegisterSpns());
  EXPECT_TRUE(directory.calls.empty());
  EXPECT_TRUE(log.Contains(kLogInfo, L"Kerberos automatic SPN registration is disabled "
                                     L"(KerberosAutomaticSPNRegistration = false)."));
}

// What the system's directory layer does in this process (under Wine: no
// domain, no DsGetSpnW, Negotiate accepted).
TEST(RpcAuth, SystemDirectoryBuildsHostSpnsAndFindsNoDomain) {
  wchar_t netBios[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD size = ARRAYSIZE(netBios);
  ASSERT_TRUE(::GetComputerNameExW(ComputerNameNetBIOS, netBios, &size));
  const Texts spns = rpc::GetServiceSpns(rpc::kServiceClass);
  ASSERT_EQ(2u, spns.size());
  EXPECT_EQ(0u, spns[0].rfind(L"KorloGuestHelperSvc/", 0));
  EXPECT_EQ(L"KorloGuestHelperSvc/" + std::wstring(netBios), spns[1]);

  CLogCapture log;
  rpc::RegisterRpcAuthentication(rpc::kServiceClass);
  EXPECT_TRUE(log.Contains(kLogMessage, L"Initializing RPC authentication service.. Ok."));
  if (rpc::RunsUnderWine()) {
    EXPECT_TRUE(Lines(log, kLogWarning).empty()) << testing_support::JoinLines(Lines(log, kLogWarning));
    testing_support::CTestRegKey settings(kSettingsKeyPath);
    EXPECT_FALSE(rpc::CSpnRegistrar(rpc::kServiceClass, rpc::kServiceClass).RegisterSpns());
    EXPECT_TRUE(log.Contains(kLogMessage, L"Domain Controller was not found. No need to register SPN"));
  }
}

}  // namespace
