// The plugin contract as the plugin libraries built here meet it: the export
// sets of the fixture plugins, what a fixture records, and the reference
// plugin driven the way the host drives it, with its RPC interface served in
// this process and called through the client library and the client tool.
#include "plugins/plugin_contract.h"
#include "util/compat.h"
#include "util/handle.h"
#include "util/win.h"

#include "fixtures/fixture_record.h"
#include "reference_plugin.h"
#include "rpc_client.h"
#include "test_support.h"

#include <winsock2.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using testing_support::CScratchDir;
using testing_support::Narrow;
using testing_support::ProgramFolder;

const char* const kAllExports[] = {plugin::kPluginMain,          plugin::kPluginInitRpcEp,
                                   plugin::kPluginDoSvcStartupSteps, plugin::kPluginInitLogging,
                                   plugin::kPluginSetOnlyFlr,        plugin::kHvInjectVss,
                                   plugin::kTestInvoker};

CLibrary LoadPlugin(const std::wstring& fileName) {
  return CLibrary(::LoadLibraryW((ProgramFolder() + L"\\" + fileName).c_str()));
}

template <class Fn>
Fn* Export(const CLibrary& library, const char* name) {
  return ProcCast<Fn*>(::GetProcAddress(library.Get(), name));
}

// Sets an environment variable for the life of the object.
class CEnvVar {
 public:
  CEnvVar(const wchar_t* name, const std::wstring& value) : m_name(name) {
    ::SetEnvironmentVariableW(name, value.c_str());
  }
  ~CEnvVar() { ::SetEnvironmentVariableW(m_name, nullptr); }

 private:
  const wchar_t* m_name;
};

TEST(PluginContract, ExportsResolveByPlainNameOnly) {
  struct SCase {
    const wchar_t* dll;
    std::vector<std::string> exports;
  };
  const std::vector<std::string> all(std::begin(kAllExports), std::end(kAllExports));
  const std::vector<std::string> optional = {"PluginDoSvcStartupSteps", "PluginInitLogging", "PluginSetOnlyFlr",
                                             "HvInjectVss", "TestInvoker"};
  auto with = [&](std::vector<std::string> names) {
    names.insert(names.end(), optional.begin(), optional.end());
    return names;
  };
  const SCase cases[] = {
      {L"fixture_plugin_all.dll", all},
      {L"fixture_plugin_no_main.dll", with({"PluginInitRpcEp"})},
      {L"fixture_plugin_no_rpc_ep.dll", with({"PluginMain"})},
      {L"fixture_plugin_minimal.dll", {"PluginMain", "PluginInitRpcEp"}},
      {L"fixture_plugin_returns.dll", all},
      {L"fixture_plugin_faults.dll", all},
      {L"ReferencePlugin.dll", all},
  };
  for (const SCase& c : cases) {
    SCOPED_TRACE(Narrow(c.dll));
    const CLibrary library = LoadPlugin(c.dll);
    ASSERT_TRUE(library.IsValid()) << ::GetLastError();
    for (const char* name : kAllExports) {
      const bool expected = std::find(c.exports.begin(), c.exports.end(), name) != c.exports.end();
      EXPECT_EQ(expected, ::GetProcAddress(library.Get(), name) != nullptr) << name;
      if (!expected) {
        EXPECT_EQ(static_cast<DWORD>(ERROR_PROC_NOT_FOUND), ::GetLastError()) << name;
      }
    }
    // Names are exact: no stdcall decoration, no case folding.
    for (const char* name : {"_PluginMain@12", "PluginMain@12", "pluginmain"}) {
      EXPECT_EQ(nullptr, ::GetProcAddress(library.Get(), name)) << name;
    }
  }
}

// The host's uninstall callback as the fixture and the reference plugin see
// it: records each request and answers as the host does (0 when cancelled).
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

TEST(PluginContract, FixtureRecordsEachCallWithItsArguments) {
  CScratchDir scratch;
  const std::wstring record = scratch / L"record.txt";
  const CEnvVar recordVar(fixture::kRecordVar, record);
  const CEnvVar uninstallVar(fixture::kUninstallVar, L"1,cancel,lock name");
  const std::wstring dumpPath = scratch / L"VolumesDump.xml";
  DWORD mainThread = 0;
  HANDLE eventValue = nullptr;
  {
    CLibrary library = LoadPlugin(L"fixture_plugin_all.dll");
    ASSERT_TRUE(library.IsValid()) << ::GetLastError();
    Export<PluginInitLoggingFn>(library, plugin::kPluginInitLogging)(L"C:\\logs", L"fixture_plugin_all_flr",
                                                                     plugin::kInitLoggingReserved);
    Export<PluginSetOnlyFlrFn>(library, plugin::kPluginSetOnlyFlr)();
    Export<PluginInitRpcEpFn>(library, plugin::kPluginInitRpcEp)();
    Export<PluginDoSvcStartupStepsFn>(library, plugin::kPluginDoSvcStartupSteps)();
    CKernelHandle termination(::CreateEventW(nullptr, TRUE, TRUE, nullptr));  // already signalled
    eventValue = termination.Get();
    auto* pluginMain = Export<PluginMainFn>(library, plugin::kPluginMain);
    std::thread work([&] {
      mainThread = ::GetCurrentThreadId();
      pluginMain(termination.Get(), RecordingUninstall, 1);
    });
    work.join();
    auto* invoke = Export<TestInvokerFn>(library, plugin::kTestInvoker);
    invoke(plugin::kTestOpStart, 0, 0);
    invoke(plugin::kTestOpDumpVolumesXml, reinterpret_cast<UINT_PTR>(dumpPath.c_str()), 0);
    // A value above 32 bits arrives whole on x64.
    invoke(plugin::kTestOpFinish, static_cast<UINT_PTR>(-1), 7);
    Export<HvInjectVssFn>(library, plugin::kHvInjectVss)();
  }
  const std::vector<fixture::SCall> calls = fixture::ParseRecord(testing_support::ReadFileBytes(record));
  std::wostringstream handleText;
  handleText << std::hex << std::uppercase << reinterpret_cast<UINT_PTR>(eventValue);
  const std::vector<std::wstring> expected = {
      L"load",
      L"PluginInitLogging|C:\\logs|fixture_plugin_all_flr|1",
      L"PluginSetOnlyFlr",
      L"PluginInitRpcEp",
      L"PluginDoSvcStartupSteps",
      L"PluginDoSvcStartupSteps.return",
      L"PluginMain|" + handleText.str() + L"|1|1",
      L"uninstall|1|cancel|lock name",
      L"decide|0",
      L"uninstall.result|0",
      L"PluginMain.return|signalled",
      L"TestInvoker|StartTestDesktopSnapshot|0|0",
      L"TestInvoker|DumpVolumesXmlForDesktopSnapshot|" + dumpPath + L"|0",
      L"TestInvoker|FinishTestDesktopSnapshot|" + std::to_wstring(static_cast<UINT_PTR>(-1)) + L"|7",
      L"HvInjectVss",
      L"unload",
  };
  EXPECT_EQ(expected, fixture::CallTexts(calls));
  for (const fixture::SCall& call : calls) {
    EXPECT_EQ(L"fixture_plugin_all.dll", call.module);
    const bool onWorkThread = call.what.compare(0, 10, L"PluginMain") == 0 || call.what == L"uninstall" ||
                              call.what == L"uninstall.result" || call.what == L"decide";
    EXPECT_EQ(onWorkThread, call.threadId == mainThread) << Narrow(call.what);
  }
  const std::vector<SUninstallRequest> requests = TakeRequests();
  ASSERT_EQ(1u, requests.size());
  EXPECT_EQ(1, requests[0].rebootRequired);
  EXPECT_EQ("lock name", requests[0].fileLockName);
  EXPECT_TRUE(requests[0].withDecision);
  EXPECT_EQ(1, requests[0].cancelFlag);
}

TEST(PluginContract, FixtureMainBehavesAsBuilt) {
  CScratchDir scratch;
  const std::wstring record = scratch / L"record.txt";
  const CEnvVar recordVar(fixture::kRecordVar, record);
  struct SCase {
    const wchar_t* dll;
    const wchar_t* lastCall;
  };
  const SCase cases[] = {
      {L"fixture_plugin_returns.dll", L"PluginMain.return|at-once"},
      {L"fixture_plugin_minimal.dll", L"PluginMain.return|signalled"},
  };
  for (const SCase& c : cases) {
    SCOPED_TRACE(Narrow(c.dll));
    ::DeleteFileW(record.c_str());
    {
      CLibrary library = LoadPlugin(c.dll);
      ASSERT_TRUE(library.IsValid()) << ::GetLastError();
      // Not signalled: only a plugin that waits would notice, and it is
      // signalled below once PluginMain has been entered.
      CKernelHandle termination(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
      auto* pluginMain = Export<PluginMainFn>(library, plugin::kPluginMain);
      std::thread work([&] { pluginMain(termination.Get(), nullptr, 0); });
      ::SetEvent(termination.Get());
      work.join();
    }
    const std::vector<std::wstring> texts =
        fixture::CallTexts(fixture::ParseRecord(testing_support::ReadFileBytes(record)));
    ASSERT_EQ(4u, texts.size());
    EXPECT_EQ(L"PluginMain|", texts[1].substr(0, 11));
    EXPECT_EQ(L"|0|0", texts[1].substr(texts[1].size() - 4));
    EXPECT_EQ(c.lastCall, texts[2]);
    EXPECT_EQ(L"unload", texts[3]);
  }
}

TEST(PluginContract, FaultInPluginMainEndsTheProcessWithItsCode) {
  if (testing_support::ChildRole() == L"fault") {
    const CLibrary library = LoadPlugin(L"fixture_plugin_faults.dll");
    ASSERT_TRUE(library.IsValid());
    auto* pluginMain = Export<PluginMainFn>(library, plugin::kPluginMain);
    CKernelHandle termination(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread([&] { pluginMain(termination.Get(), nullptr, 0); }).join();
    FAIL() << "PluginMain returned";
  }
  const testing_support::SProcessResult child =
      testing_support::RunSelfAsChild("PluginContract.FaultInPluginMainEndsTheProcessWithItsCode", L"fault");
  EXPECT_FALSE(child.timedOut);
  EXPECT_EQ(fixture::kFaultCode, child.exitCode) << child.output;
}

// A TCP port on the loopback address that nobody listens on.
std::wstring UnusedPort() {
  WSADATA data;
  ::WSAStartup(MAKEWORD(2, 2), &data);
  const SOCKET probe = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int size = sizeof(address);
  ::bind(probe, reinterpret_cast<sockaddr*>(&address), size);
  ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size);
  ::closesocket(probe);
  ::WSACleanup();
  return std::to_wstring(ntohs(address.sin_port));
}

// The TCP port of this process's RPC endpoint.
std::wstring ListeningPort() {
  std::wstring port;
  RPC_BINDING_VECTOR* bindings = nullptr;
  if (::RpcServerInqBindings(&bindings) != RPC_S_OK) return port;
  for (unsigned long i = 0; i < bindings->Count && port.empty(); ++i) {
    RPC_WSTR text = nullptr, protocol = nullptr, endpoint = nullptr;
    if (::RpcBindingToStringBindingW(bindings->BindingH[i], &text) != RPC_S_OK) continue;
    if (::RpcStringBindingParseW(text, nullptr, &protocol, nullptr, &endpoint, nullptr) == RPC_S_OK) {
      if (std::wstring(reinterpret_cast<wchar_t*>(protocol)) == L"ncacn_ip_tcp") {
        port = reinterpret_cast<wchar_t*>(endpoint);
      }
      ::RpcStringFreeW(&protocol);
      ::RpcStringFreeW(&endpoint);
    }
    ::RpcStringFreeW(&text);
  }
  ::RpcBindingVectorFree(&bindings);
  return port;
}

// The positions of `lines` in `log`, in order; a missing line fails.
void ExpectInOrder(const std::wstring& log, const std::vector<std::wstring>& lines) {
  size_t from = 0;
  for (const std::wstring& line : lines) {
    const size_t at = log.find(line, from);
    ASSERT_NE(std::wstring::npos, at) << "missing after offset " << from << ": " << Narrow(line) << "\n"
                                      << Narrow(log);
    from = at + line.size();
  }
}

// Loads ReferencePlugin.dll and runs its PluginMain on a work thread until
// destruction, as the hosted service does.
class CHostedReferencePlugin {
 public:
  explicit CHostedReferencePlugin(const std::wstring& logFolder) : m_library(LoadPlugin(L"ReferencePlugin.dll")) {
    EXPECT_TRUE(m_library.IsValid()) << ::GetLastError();
    Export<PluginInitLoggingFn>(m_library, plugin::kPluginInitLogging)(logFolder.c_str(), L"ReferenceTest",
                                                                       plugin::kInitLoggingReserved);
    Export<PluginSetOnlyFlrFn>(m_library, plugin::kPluginSetOnlyFlr)();
    Export<PluginInitRpcEpFn>(m_library, plugin::kPluginInitRpcEp)();
    Export<PluginDoSvcStartupStepsFn>(m_library, plugin::kPluginDoSvcStartupSteps)();
  }
  ~CHostedReferencePlugin() { Stop(); }

  void StartMain() {
    auto* pluginMain = Export<PluginMainFn>(m_library, plugin::kPluginMain);
    m_work = std::thread([this, pluginMain] { pluginMain(m_termination.Get(), RecordingUninstall, 1); });
  }
  void Stop() {
    ::SetEvent(m_termination.Get());
    if (m_work.joinable()) m_work.join();
  }

 private:
  CLibrary m_library;
  CKernelHandle m_termination{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  std::thread m_work;
};

// Listening of this process's RPC server, stopped on destruction.
class CRpcListening {
 public:
  RPC_STATUS Start() { return ::RpcServerListen(1, RPC_C_LISTEN_MAX_CALLS_DEFAULT, TRUE); }
  ~CRpcListening() {
    // Under Wine this also waits for idle client connections: destroy the
    // clients first.
    if (::RpcMgmtStopServerListening(nullptr) == RPC_S_OK) ::RpcMgmtWaitServerListen();
  }
};

TEST(PluginContract, ReferencePluginServesItsInterfaceWhileMainRuns) {
  using refPluginClient::EDecision;
  CScratchDir scratch;
  const std::wstring logFolder = scratch / L"Korlo\\Backup";  // created by the plugin
  ASSERT_EQ(RPC_S_OK, ::RpcServerUseProtseqW(reinterpret_cast<RPC_WSTR>(const_cast<wchar_t*>(L"ncacn_ip_tcp")),
                                             RPC_C_PROTSEQ_MAX_REQS_DEFAULT, nullptr));
  {
    CHostedReferencePlugin plugin(logFolder);
    CRpcListening listening;
    ASSERT_EQ(RPC_S_OK, listening.Start());
    const std::wstring port = ListeningPort();
    ASSERT_FALSE(port.empty());
    refPluginClient::CReferencePluginClient client(L"127.0.0.1", port);
    ASSERT_EQ(RPC_S_OK, client.BindStatus());

    bool started = true;
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_READY), client.RequestUninstall(false, "", EDecision::kNone, started));
    EXPECT_FALSE(started);

    plugin.StartMain();
    refPluginClient::SStatus status;
    for (int round = 0; round < 500 && !(status.state & RP_STATE_RUNNING); ++round) {
      ASSERT_EQ(0u, client.GetStatus(status));
      if (!(status.state & RP_STATE_RUNNING)) ::Sleep(10);
    }
    EXPECT_EQ(L"ReferencePlugin", status.pluginName);
    EXPECT_EQ(L"ReferenceTest", status.logName);
    EXPECT_EQ(::GetCurrentProcessId(), status.processId);
    EXPECT_EQ(static_cast<unsigned long>(RP_STATE_PERSISTENT | RP_STATE_ONLY_FLR | RP_STATE_STARTED |
                                         RP_STATE_RUNNING),
              status.state);

    struct SCase {
      bool reboot;
      const char* lock;
      EDecision decision;
      bool started;
      BOOLEAN cancelFlag;
    };
    const SCase cases[] = {
        {false, "", EDecision::kNone, true, 0},
        {true, "KorloLock", EDecision::kAccept, true, 0},
        {false, "KorloLock", EDecision::kCancel, false, 1},
    };
    for (const SCase& c : cases) {
      ASSERT_EQ(0u, client.RequestUninstall(c.reboot, c.lock, c.decision, started));
      EXPECT_EQ(c.started, started);
      const std::vector<SUninstallRequest> requests = TakeRequests();
      ASSERT_EQ(1u, requests.size());
      EXPECT_EQ(c.reboot, requests[0].rebootRequired != 0);
      EXPECT_EQ(c.lock, requests[0].fileLockName);
      EXPECT_EQ(c.decision != EDecision::kNone, requests[0].withDecision);
      EXPECT_EQ(c.cancelFlag, requests[0].cancelFlag);
    }

    const testing_support::SProcessResult tool = testing_support::RunProcess(
        L"\"" + ProgramFolder() + L"\\ReferencePluginClient.exe\" 127.0.0.1 " + port + L" status");
    EXPECT_EQ(0u, tool.exitCode) << tool.output;
    EXPECT_NE(std::string::npos, tool.output.find("Plugin name: ReferencePlugin")) << tool.output;
    EXPECT_NE(std::string::npos, tool.output.find("Process id: " + std::to_string(::GetCurrentProcessId())))
        << tool.output;
    EXPECT_NE(std::string::npos, tool.output.find("State: persistent only-flr started running")) << tool.output;

    // After PluginMain has returned nothing of the plugin is callable any
    // more, though the endpoint still listens. Checked through the tool: the
    // client library gives up its binding after a failed call.
    plugin.Stop();
    const testing_support::SProcessResult late = testing_support::RunProcess(
        L"\"" + ProgramFolder() + L"\\ReferencePluginClient.exe\" 127.0.0.1 " + port + L" status");
    EXPECT_EQ(static_cast<DWORD>(RPC_S_UNKNOWN_IF), late.exitCode) << late.output;
  }

  std::wstring log = testing_support::Utf16(testing_support::ReadFileBytes(logFolder + L"\\ReferenceTest.log"));
  ExpectInOrder(log, {
                         L"PluginInitLogging. Folder: [" + logFolder + L"]. Name: [ReferenceTest]. Value: [1].\r\n",
                         L"PluginSetOnlyFlr: serving file-level restore only.\r\n",
                         L"PluginInitRpcEp: RPC interface registered.\r\n",
                         L"PluginDoSvcStartupSteps: start-up done.\r\n",
                         L"PluginMain is not running: no uninstall callback to call.\r\n",
                         L"PluginMain started. Persistent: [1].",
                         L"RPC GetStatus.\r\n",
                         L"Asking the host to remove the guest service. Reboot: [1]. File lock name: [KorloLock].",
                         L"Removal decision: accept.\r\n",
                         L"Removal decision: cancel.\r\n",
                         L"The host answered the removal request with [0].\r\n",
                         L"PluginMain: termination event signalled.\r\n",
                         L"RPC interface unregistered.\r\n",
                         L"PluginMain finished.\r\n",
                     });
}

TEST(PluginContract, ClientToolReportsFailuresInItsExitCode) {
  const std::wstring tool = L"\"" + ProgramFolder() + L"\\ReferencePluginClient.exe\" 127.0.0.1 " + UnusedPort();
  struct SCase {
    const wchar_t* arguments;
    DWORD exitCode;
  };
  const SCase cases[] = {
      {L" status", RPC_S_SERVER_UNAVAILABLE},
      {L" uninstall -reboot -lock KorloLock -decision cancel", RPC_S_SERVER_UNAVAILABLE},
      {L" uninstall -decision maybe", ERROR_INVALID_PARAMETER},
      {L" restart", ERROR_INVALID_PARAMETER},
  };
  for (const SCase& c : cases) {
    const testing_support::SProcessResult result = testing_support::RunProcess(tool + c.arguments);
    EXPECT_FALSE(result.timedOut) << Narrow(c.arguments);
    EXPECT_EQ(c.exitCode, result.exitCode) << Narrow(c.arguments) << "\n" << result.output;
  }
}

TEST(PluginContract, ReferencePluginRunsTheDesktopSnapshotOperations) {
  CScratchDir scratch;
  const std::wstring dumpPath = scratch / L"VolumesDump.xml";
  {
    const CLibrary library = LoadPlugin(L"ReferencePlugin.dll");
    ASSERT_TRUE(library.IsValid()) << ::GetLastError();
    Export<PluginInitLoggingFn>(library, plugin::kPluginInitLogging)(scratch.Path().c_str(), L"KorloVssSupport",
                                                                     plugin::kInitLoggingReserved);
    auto* invoke = Export<TestInvokerFn>(library, plugin::kTestInvoker);
    invoke(plugin::kTestOpWaitReady, 0, 0);  // out of order: nothing started yet
    invoke(plugin::kTestOpStart, 0, 0);
    invoke(plugin::kTestOpWaitReady, 0, 0);
    invoke(plugin::kTestOpDumpVolumesXml, reinterpret_cast<UINT_PTR>(dumpPath.c_str()), 0);
    invoke(plugin::kTestOpFinish, 0, 0);
    invoke(L"NoSuchOperation", 1, 2);
    Export<HvInjectVssFn>(library, plugin::kHvInjectVss)();
  }
  const std::string dump = testing_support::ReadFileBytes(dumpPath);
  EXPECT_EQ(0u, dump.find("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<Volumes snapshotId=\"{")) << dump;
  EXPECT_NE(std::string::npos, dump.find("<Volume path=\"")) << dump;
  EXPECT_NE(std::string::npos, dump.find("</Volumes>")) << dump;

  const std::wstring log =
      testing_support::Utf16(testing_support::ReadFileBytes(scratch / L"KorloVssSupport.log"));
  ExpectInOrder(log, {
                         L"TestInvoker: [WaitTestDesktopSnapshotReady] [0] [0].\r\n",
                         L"No test snapshot was started.\r\n",
                         L"TestInvoker: [StartTestDesktopSnapshot] [0] [0].\r\n",
                         L" started.\r\n",
                         L" is ready.\r\n",
                         L"Volumes dump written to [" + dumpPath + L"].\r\n",
                         L" released.\r\n",
                         L"Unknown test operation [NoSuchOperation]: ignored.\r\n",
                         L"HvInjectVss: the reference plugin takes no snapshots; nothing injected.\r\n",
                     });
}

}  // namespace
