// The plugin contract as the reference plugin meets it: its exports, and the
// plugin driven the way the host drives it, with its RPC interface served in
// this process and called through the client library.
#include "plugins/plugin_contract.h"
#include "base/compat.h"
#include "base/handle.h"
#include "base/win.h"

#include "plugin_log.h"
#include "plugin_state.h"
#include "reference_plugin.h"
#include "rpc_client.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <mutex>
#include <utility>
#include <string>
#include <thread>
#include <vector>

namespace {

using testing_support::CScratchDir;
using testing_support::Narrow;
using testing_support::ProgramFolder;

CLibrary LoadPlugin(const std::wstring& fileName) {
  return CLibrary(::LoadLibraryW((ProgramFolder() + L"\\" + fileName).c_str()));
}

template <class Fn>
Fn* Export(const CLibrary& library, const char* name) {
  return ProcCast<Fn*>(::GetProcAddress(library.Get(), name));
}

// The host's uninstall callback as the plugins see it: records each request
// and answers as the host does (0 when cancelled).
struct SUninstallRequest {
  BOOLEAN rebootRequired;
  std::string fileLockName;
  bool withDecision;
  BOOLEAN cancelFlag;  // after the decision callback ran
};
std::mutex g_requestsLock;
std::vector<SUninstallRequest> g_requests;

BOOLEAN KORLO_STDCALL RecordingUninstall(BOOLEAN rebootRequired, const char* fileLockName,
                                         PluginUninstallDecisionFn* decide) {
  SUninstallRequest request = {rebootRequired, fileLockName, decide != nullptr, 0};
  if (decide != nullptr) decide(&request.cancelFlag);
  std::lock_guard<std::mutex> hold(g_requestsLock);
  g_requests.push_back(request);
  return request.cancelFlag ? 0 : 1;
}

std::vector<SUninstallRequest> TakeRequests() {
  std::vector<SUninstallRequest> taken;
  std::lock_guard<std::mutex> hold(g_requestsLock);
  taken.swap(g_requests);
  return taken;
}

// The token a thread gets by impersonating this process's own token (an
// administrator's), optionally with the Administrators group for denying
// only, as the plugin takes its caller's.
CKernelHandle ImpersonatedToken(bool withoutAdministrators) {
  HANDLE process = nullptr, restricted = nullptr, thread = nullptr;
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof(sid);
  ::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size);
  SID_AND_ATTRIBUTES denied = {sid, 0};
  ::OpenProcessToken(::GetCurrentProcess(), TOKEN_ALL_ACCESS, &process);
  ::CreateRestrictedToken(process, 0, withoutAdministrators ? 1 : 0, &denied, 0, nullptr, 0, nullptr, &restricted);
  ::ImpersonateLoggedOnUser(restricted);
  ::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &thread);
  ::RevertToSelf();
  ::CloseHandle(restricted);
  ::CloseHandle(process);
  return CKernelHandle(thread);
}

// Over ncalrpc Wine hands the plugin the calling process's own token, so a
// caller without the Administrators group is made here, for the check alone.
TEST(PluginContract, OnlyAMemberOfAdministratorsMayAskForRemoval) {
  std::wstring caller;
  EXPECT_TRUE(refPlugin::TokenMayRemove(ImpersonatedToken(false).Get(), caller)) << Narrow(caller);
  EXPECT_FALSE(refPlugin::TokenMayRemove(ImpersonatedToken(true).Get(), caller));
  EXPECT_EQ(L", not a member of the Administrators group", caller);
}

// Each refused name breaks one rule only; a braced GUID passes.
TEST(PluginContract, OnlyAPlainFileNameStemGoesOnAsLockName) {
  const std::pair<std::string, bool> names[] = {
      {"", true}, {"KorloLock", true}, {"Lock-1.2_x", true}, {std::string(64, 'a'), true},
      {"{" + Narrow(testing_support::NewGuidText()) + "}", true}, {std::string(65, 'a'), false},
      {"-KorloLock", false}, {".KorloLock", false}, {"Korlo Lock", false}, {"Korlo[1]", false},
      {"a\\b", false}, {"a/b", false}, {"a\"b", false}, {"C:x", false}, {"a*", false},
  };
  for (const auto& name : names) EXPECT_EQ(name.second, refPlugin::IsPlainLockName(name.first.c_str())) << name.first;
}

// What any caller can make the plugin write is bounded: lines of one kind
// are counted within a window and written once; a full file makes way for a
// new one, and the one before is kept.
TEST(PluginContract, ReferencePluginLogStaysWithinItsBound) {
  CScratchDir scratch;
  {
    refPlugin::CPluginLog log;
    ASSERT_TRUE(log.Open(scratch.Path(), L"Bounded", 4096));
    for (int i = 0; i < 10000; ++i) log.WriteRepeatable(L"RPC GetStatus", L"RPC GetStatus (status 1).");
    log.Flush();
    const std::wstring text = testing_support::Utf16(testing_support::ReadFileBytes(scratch / L"Bounded.log"));
    const std::vector<std::wstring> lines = testing_support::SplitLines(text);
    ASSERT_EQ(2u, lines.size()) << Narrow(text);
    EXPECT_NE(std::wstring::npos, lines[0].find(L"] RPC GetStatus (status 1)."));
    EXPECT_NE(std::wstring::npos, lines[1].find(L"] [RPC GetStatus] 9999 more since "));
    for (int i = 0; i < 200; ++i) log.Write(L"Line " + std::to_wstring(i) + L" of the ones that fill the file.");
  }
  for (const wchar_t* name : {L"Bounded.log", L"Bounded.1.log"}) {
    const std::string bytes = testing_support::ReadFileBytes(scratch / name);
    EXPECT_LE(bytes.size(), 4096u) << Narrow(name);
    EXPECT_EQ("\xFF\xFE", bytes.substr(0, 2)) << Narrow(name);
  }
  const std::wstring last = testing_support::Utf16(testing_support::ReadFileBytes(scratch / L"Bounded.log"));
  EXPECT_NE(std::wstring::npos, last.find(L"] Line 199 of the ones that fill the file.\r\n")) << Narrow(last);
}

// Loads ReferencePlugin.dll as the hosted service does, serves RPC over
// ncalrpc (endpoint LocalEndpoint()) in this process and runs PluginMain on a
// work thread until Stop. The local transport authenticates its callers,
// which TCP under Wine cannot do.
class CHostedReferencePlugin {
 public:
  explicit CHostedReferencePlugin(const std::wstring& logFolder) : m_library(LoadPlugin(L"ReferencePlugin.dll")) {
    EXPECT_TRUE(m_library.IsValid()) << ::GetLastError();
    Get<PluginInitLoggingFn>(plugin::kPluginInitLogging)(logFolder.c_str(), L"ReferenceTest",
                                                         plugin::kInitLoggingReserved);
    Get<PluginSetOnlyFlrFn>(plugin::kPluginSetOnlyFlr)();
    Get<PluginInitRpcEpFn>(plugin::kPluginInitRpcEp)();
    Get<PluginDoSvcStartupStepsFn>(plugin::kPluginDoSvcStartupSteps)();
    EXPECT_EQ(RPC_S_OK, ::RpcServerUseProtseqEpW(reinterpret_cast<RPC_WSTR>(const_cast<wchar_t*>(L"ncalrpc")),
                                                 RPC_C_PROTSEQ_MAX_REQS_DEFAULT,
                                                 reinterpret_cast<RPC_WSTR>(&m_localEndpoint[0]), nullptr));
    EXPECT_EQ(RPC_S_OK, ::RpcServerListen(1, RPC_C_LISTEN_MAX_CALLS_DEFAULT, TRUE));
  }
  // Under Wine stopping the listening also waits for idle client
  // connections: destroy the clients first.
  ~CHostedReferencePlugin() {
    if (::RpcMgmtStopServerListening(nullptr) == RPC_S_OK) ::RpcMgmtWaitServerListen();
    Stop();
  }

  template <class Fn>
  Fn* Get(const char* name) const { return Export<Fn>(m_library, name); }
  void StartMain() {
    auto* pluginMain = Get<PluginMainFn>(plugin::kPluginMain);
    m_work = std::thread([this, pluginMain] { pluginMain(m_termination.Get(), RecordingUninstall, 1); });
  }
  void Stop() {
    ::SetEvent(m_termination.Get());
    if (m_work.joinable()) m_work.join();
  }
  const std::wstring& LocalEndpoint() const { return m_localEndpoint; }

 private:
  CLibrary m_library;
  std::wstring m_localEndpoint = L"ReferencePluginTest-" + testing_support::NewGuidText();
  CKernelHandle m_termination{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  std::thread m_work;
};

// The uninstall pass-through needs an authenticated caller, which only the
// local transport gives here; the refusal of an unauthenticated one over TCP
// is proven against the helper itself (tests/rpc/impacket_client.py).
TEST(PluginContract, ReferencePluginServesItsInterfaceWhileMainRuns) {
  using refPluginClient::EDecision;
  CScratchDir scratch;
  const std::wstring logFolder = scratch / L"Korlo\\Backup";  // created by the plugin
  {
    CHostedReferencePlugin plugin(logFolder);
    refPluginClient::CReferencePluginClient local(L"", plugin.LocalEndpoint(), L"ncalrpc");
    ASSERT_EQ(RPC_S_OK, local.BindStatus());
    bool started = true;
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_READY), local.RequestUninstall(false, "", EDecision::kNone, started));
    EXPECT_FALSE(started);

    plugin.StartMain();
    refPluginClient::SStatus status;  // polled until PluginMain runs; a failed call shows below
    for (int round = 0; round < 500 && local.GetStatus(status) == 0 && !(status.state & RP_STATE_RUNNING); ++round) {
      ::Sleep(10);
    }
    struct SCase {
      bool reboot;
      const char* lock;
      EDecision decision;
      bool started;
      BOOLEAN cancelFlag;  // as the host's callback saw it
    };
    const SCase cases[] = {
        {false, "", EDecision::kNone, true, 0},
        {true, "KorloLock", EDecision::kAccept, true, 0},
        {false, "KorloLock", EDecision::kCancel, false, 1},
    };
    for (const auto& c : cases) {
      ASSERT_EQ(0u, local.RequestUninstall(c.reboot, c.lock, c.decision, started));
      EXPECT_EQ(c.started, started);
      const std::vector<SUninstallRequest> requests = TakeRequests();
      ASSERT_EQ(1u, requests.size());
      EXPECT_EQ(c.reboot, requests[0].rebootRequired != 0);
      EXPECT_EQ(c.lock, requests[0].fileLockName);
      EXPECT_EQ(c.decision != EDecision::kNone, requests[0].withDecision);
      EXPECT_EQ(c.cancelFlag, requests[0].cancelFlag);
    }

    // An injected lock name never reaches the host.
    for (const char* lock : {"-agent_path C:\\Windows\\x -svc_name Foo", "..\\x"}) {
      EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
                local.RequestUninstall(false, lock, EDecision::kNone, started));
      EXPECT_TRUE(TakeRequests().empty());
    }

    ASSERT_EQ(0u, local.GetStatus(status));
    EXPECT_EQ(L"ReferencePlugin", status.pluginName);
    EXPECT_EQ(L"ReferenceTest", status.logName);
    EXPECT_EQ(::GetCurrentProcessId(), status.processId);
    EXPECT_EQ(RP_STATE_PERSISTENT | RP_STATE_ONLY_FLR | RP_STATE_STARTED | RP_STATE_RUNNING, status.state);

    // After PluginMain has returned nothing of the plugin is callable any
    // more, though the endpoint still listens.
    plugin.Stop();
    EXPECT_EQ(static_cast<DWORD>(RPC_S_UNKNOWN_IF), local.GetStatus(status));
  }
  // The log the host named, in the folder it gave.
  const std::wstring log = testing_support::Utf16(testing_support::ReadFileBytes(logFolder + L"\\ReferenceTest.log"));
  EXPECT_NE(std::wstring::npos, log.find(L"PluginMain finished.\r\n")) << Narrow(log);
}

}  // namespace
