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

using testing_support::CLogCapture;
using Texts = std::vector<std::wstring>;

const std::wstring kDn = L"CN=VM,CN=Computers,DC=example,DC=test";

// A domain member as the directory shows it; records every call in order.
class CFakeDirectory : public rpc::CDirectoryApi {
 public:
  Texts spns = {L"Svc/vm.example.test", L"Svc/VM"};  // DNS, NetBIOS
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
    const size_t index = type == DS_SPN_DNS_HOST ? 0 : 1;
    if (spnError == 0 && index < spns.size()) out.push_back(spns[index]);
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

// The captured lines at `level`, in order; `count` > 0: only the last ones.
Texts Lines(const CLogCapture& log, std::int32_t level, size_t count = 0) {
  Texts texts;
  for (const auto& line : log.Lines()) {
    if (line.level == level) texts.push_back(line.text);
  }
  return count ? Texts(texts.end() - std::min(count, texts.size()), texts.end()) : texts;
}

TEST(RpcAuth, AuthenticationFallsBackToNtlmAndKerberosOnlyForARefusedNegotiate) {
  const Texts names = {L"RPC_C_AUTHN_GSS_NEGOTIATE", L"RPC_C_AUTHN_WINNT", L"RPC_C_AUTHN_GSS_KERBEROS"};
  const struct {
    std::set<unsigned long> refused;
    Texts services;   // tried per SPN
    size_t warnings;  // per SPN, naming the first services
  } cases[] = {{{}, {L"9"}, 0}, {{9}, {L"9", L"10", L"16"}, 1}, {{9, 10, 16}, {L"9", L"10", L"16"}, 3}};
  for (const auto& c : cases) {
    CFakeDirectory directory;
    directory.refusedAuth = c.refused;
    CLogCapture log;
    rpc::RegisterRpcAuthentication(L"Svc", directory);
    Texts tried = {L"GetSpns 0 Svc", L"GetSpns 2 Svc"}, warned;
    for (const std::wstring& spn : directory.spns) {
      for (const std::wstring& service : c.services) tried.push_back(L"Auth " + service + L" " + spn);
      for (size_t i = 0; i < c.warnings; ++i) {
        warned.push_back(L"Cannot register authentication information with the [" + names[i] +
                         L"] authentication service. SPN : [" + spn + L"].");
        warned.push_back(L" Code: 1747");  // the end of the RPC error, one step deeper
      }
    }
    EXPECT_EQ(tried, directory.calls);
    Texts lines;
    for (const std::wstring& line : Lines(log, kLogWarning)) {
      if (line.rfind(L"RPC error:", 0) != 0) lines.push_back(line);
    }
    EXPECT_EQ(warned, lines);
    EXPECT_EQ((Texts{L"Service SPN: [Svc/vm.example.test]", L"Service SPN: [Svc/VM]"}), Lines(log, kLogInfo));
    EXPECT_EQ((Texts{L"Initializing RPC authentication service.. Ok."}), Lines(log, kLogMessage, 1));
  }
}

TEST(RpcAuth, AuthenticationWithoutSpnsWarnsOrFails) {
  CFakeDirectory directory;
  directory.spns.clear();
  CLogCapture log;
  rpc::RegisterRpcAuthentication(L"Svc", directory);
  EXPECT_EQ((Texts{L"SPN list is empty"}), Lines(log, kLogWarning));
  EXPECT_EQ((Texts{L"Initializing RPC authentication service.. Failed."}), Lines(log, kLogMessage, 1));
  for (const wchar_t* serviceClass : {L"", L"Svc"}) {  // ServiceName is empty / DsGetSpn fails
    directory.spnError = ERROR_NO_SUCH_DOMAIN;
    const auto e =
        testing_support::CatchExc<CWin32Exc>([&] { rpc::RegisterRpcAuthentication(serviceClass, directory); });
    ASSERT_TRUE(e);
    EXPECT_EQ((Texts{L"Cannot initialize RPC authentication service.",
                     *serviceClass ? L"Failed to get SPN (DsGetSpn)" : L"ServiceName is empty"}),
              Texts(e->GetMessages().begin(), e->GetMessages().begin() + 2));
    EXPECT_EQ(*serviceClass ? CExc::ToHResult(ERROR_NO_SUCH_DOMAIN) : E_FAIL, e->GetCode());
  }
}

TEST(RpcAuth, SpnRegistrationOnADomainMember) {
  const Texts found = {L"GetDcName 1073745920", L"GetUserNameEx 1", L"GetUserNameEx 1", L"GetSpns 0 Svc",
                       L"GetSpns 2 Svc", L"Bind example.test"};
  const Texts writes = {L"Write Svc/vm.example.test", L"Write Svc/VM", L"Unbind", L"Free dc"};
  const std::wstring denied = GetSystemText(ERROR_ACCESS_DENIED);
  const struct {
    DWORD writeError, bindError;
    bool noSpns, result;
    Texts after;   // calls after `found`
    Texts errors;  // the first error lines
  } cases[] = {
      {0, 0, false, true, writes, {}},
      {ERROR_ACCESS_DENIED, 0, false, true, writes,
       {L"Failed to register SPN 'Svc/vm.example.test': Failed to write SPN to account (DsWriteAccountSpn): " +
        denied.substr(0, denied.find(L'\r'))}},
      {0, 0, true, false, {L"Unbind", L"Free dc"},
       {L"Failed to register SPN", L"Failed to get SPN: SPN list is empty"}},
      {0, ERROR_DS_DRA_ACCESS_DENIED, false, false, {L"Free dc"},
       {L"Failed to register SPN", L"Failed to bind Domain Controller (DsBindW)"}},
  };
  for (const auto& c : cases) {
    CFakeDirectory directory;
    directory.writeErrors[L"Svc/vm.example.test"] = c.writeError;
    directory.bindError = c.bindError;
    if (c.noSpns) directory.spns.clear();
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
  testing_support::CTestRegKey settings(kSettingsKeyPath);
  settings.SetDword(L"KerberosAutomaticSPNRegistration", 0);
  CFakeDirectory disabled;
  CLogCapture log;
  EXPECT_FALSE(rpc::CSpnRegistrar(L"Guest", L"Svc", disabled).RegisterSpns());
  EXPECT_TRUE(disabled.calls.empty());
  EXPECT_EQ((Texts{L"Kerberos automatic SPN registration is disabled (KerberosAutomaticSPNRegistration = false)."}),
            Lines(log, kLogInfo));
}

// The system's directory layer in this process: under Wine no DsGetSpnW, so
// the SPNs come from the computer names. (The service run shows the rest:
// Negotiate accepted, no domain.)
TEST(RpcAuth, SystemDirectoryBuildsHostSpns) {
  wchar_t netBios[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD size = ARRAYSIZE(netBios);
  ASSERT_TRUE(::GetComputerNameExW(ComputerNameNetBIOS, netBios, &size));
  const Texts spns = rpc::GetServiceSpns(L"KorloGuestHelperSvc");
  ASSERT_EQ(2u, spns.size());
  EXPECT_EQ(0u, spns[0].rfind(L"KorloGuestHelperSvc/", 0));
  EXPECT_EQ(L"KorloGuestHelperSvc/" + std::wstring(netBios), spns[1]);
}

}  // namespace
