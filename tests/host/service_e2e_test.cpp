// The real KorloGuestHelper.exe as a real service in the service control
// manager, hosting the fixture plugin as KorloVssSupport.dll: the states it
// reports, the stop path, a stop during start-up, and the debug mode.
#include "fixtures/fixture_record.h"
#include "host_runner.h"
#include "svc_control.h"

#include "base/exc.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using namespace testing_support;

constexpr DWORD kStateLimitMs = 30000;

// Where the helper writes its log and its dumps.
std::wstring LogFolder() {
  const std::wstring log = CHostRun::LogPath(L"");
  return log.substr(0, log.rfind(L'\\'));
}

// The log's texts without their alignment blanks.
std::vector<std::wstring> Unindented(const std::vector<std::wstring>& texts) {
  std::vector<std::wstring> result;
  for (const std::wstring& text : texts) result.push_back(text.substr(std::min(text.find_first_not_of(L' '), text.size())));
  return result;
}

class ServiceE2eTest : public testing::Test {
 protected:
  void SetUp() override {
    // Something at the configuration path selects the built-in default
    // document: the one plugin KorloVssSupport.dll, a dynamic port.
    WriteFileBytes(m_host.Folder() + L"\\KorloAgentConfig.xml", "");
    WriteFileBytes(m_host.Folder() + L"\\" + fixture::kSettingsFile,
                   Narrow(std::wstring(fixture::kRecordVar) + L"=" + m_record + L"\n" + fixture::kStartupGateVar +
                          L"=" + m_gateName + L"\n"));
    ASSERT_TRUE(m_gate);
    svcctl::Create(m_name, L"\"" + m_host.ExePath() + L"\"");
  }
  void TearDown() override {
    ::SetEvent(m_gate.Get());
    try {
      const DWORD state = svcctl::Query(m_name).dwCurrentState;
      if (state == 0) return;  // deleted by the test
      if (state == SERVICE_RUNNING) svcctl::Control(m_name, SERVICE_CONTROL_STOP);
      svcctl::WaitForState(m_name, SERVICE_STOPPED, kStateLimitMs);
      svcctl::Delete(m_name);
    } catch (const CExc& e) {
      ADD_FAILURE() << Narrow(e.GetFullText());
    }
  }

  std::vector<std::wstring> PluginCalls() {
    std::vector<fixture::SCall> mine;
    for (auto& call : fixture::ParseRecord(ReadFileBytes(m_record))) {
      if (call.module == L"KorloVssSupport.dll") mine.push_back(call);
    }
    return fixture::CallTexts(mine);
  }

  CHostRun m_host{{L"fixture_plugin_all.dll=KorloVssSupport.dll"}};
  const std::wstring m_name = L"KorloTest-" + NewGuidText();
  const std::wstring m_record = m_host.Folder() + L"\\record.txt";
  const std::wstring m_gateName = L"Global\\KorloTestGate-" + NewGuidText();
  const CKernelHandle m_gate{::CreateEventW(nullptr, TRUE, FALSE, m_gateName.c_str())};
};

// A manifest beside the program names the fake firewall objects
// (tests/firewall) for the firewall's class ids: the service's own
// CoCreateInstance calls get them, and they record every call.
std::wstring ServeFakeFirewall(const std::wstring& folder) {
  EXPECT_TRUE(::CopyFileW((ProgramFolder() + L"\\fake_firewall_server.dll").c_str(),
                          (folder + L"\\fake_firewall_server.dll").c_str(), FALSE));
  std::string classes;
  for (const char* clsid : {"E2B3C97F-6AE1-41AC-817A-F6F92166D7DD", "2C5BC43E-3369-4C33-AB0C-BE9469677AF4",
                            "304CE942-6E39-40D8-943A-B913C40C9CD4", "EC9846B3-2762-4A6B-A214-6ACB603462D2"}) {
    classes += std::string("<comClass clsid=\"{") + clsid + "}\" threadingModel=\"Both\"/>";
  }
  WriteFileBytes(folder + L"\\KorloGuestHelper.exe.manifest",
                 "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>"
                 "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">"
                 "<assemblyIdentity type=\"win32\" name=\"KorloGuestHelper\" version=\"1.0.0.0\"/>"
                 "<file name=\"fake_firewall_server.dll\">" + classes + "</file></assembly>");
  return folder + L"\\fake_firewall_server.dll.calls";
}

TEST_F(ServiceE2eTest, StartsWithGrowingCheckPointsRunsAndStopsInOrder) {
  const std::wstring firewallCalls = ServeFakeFirewall(m_host.Folder());
  svcctl::Start(m_name);
  // The start-up steps hold the service in START_PENDING: three reports with
  // a growing check point, about a second apart.
  std::vector<SERVICE_STATUS> pending;
  for (int i = 0; i < 200 && pending.size() < 3; ++i) {
    const SERVICE_STATUS status = svcctl::Query(m_name);
    ASSERT_EQ(static_cast<DWORD>(SERVICE_START_PENDING), status.dwCurrentState);
    if (pending.empty() || status.dwCheckPoint != pending.back().dwCheckPoint) pending.push_back(status);
    ::Sleep(50);
  }
  ASSERT_EQ(3u, pending.size());
  for (size_t i = 1; i < pending.size(); ++i) EXPECT_GT(pending[i].dwCheckPoint, pending[i - 1].dwCheckPoint);
  EXPECT_EQ(2000u, pending.back().dwWaitHint);

  ::SetEvent(m_gate.Get());
  ASSERT_TRUE(svcctl::WaitForState(m_name, SERVICE_RUNNING, kStateLimitMs));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_ACCEPT_STOP), svcctl::Query(m_name).dwControlsAccepted);

  // Any control other than stop and shutdown changes nothing.
  svcctl::Control(m_name, SERVICE_CONTROL_INTERROGATE);
  ::Sleep(300);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), svcctl::Query(m_name).dwCurrentState);

  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), svcctl::Control(m_name, SERVICE_CONTROL_STOP).dwCurrentState);
  ASSERT_TRUE(svcctl::WaitForState(m_name, SERVICE_STOPPED, kStateLimitMs));
  svcctl::Delete(m_name);
  EXPECT_EQ(0u, svcctl::Query(m_name).dwCurrentState) << "deleted once stopped";

  // From this run's first line on: the firewall is opened for the service's
  // own name (whatever the service control manager calls it) and path, and
  // the RPC authentication is for SPNs of the class "KorloGuestHelperSvc".
  const auto all = Unindented(m_host.LogTexts());
  const std::vector<std::wstring> texts(std::find_if(all.begin(), all.end(), [&](const std::wstring& text) {
    return text.find(m_host.ExePath()) != std::wstring::npos;
  }), all.end());
  EXPECT_TRUE(ContainsInOrder(texts, {L"Initializing service...", L"Updating Windows Firewall exceptions list.",
                                      L"Service name: [KorloGuestHelper], path: [" + m_host.ExePath() + L"].",
                                      L"Updating Windows Firewall exceptions list.. Ok.",
                                      L"Getting Domain Controller. Failed.",
                                      L"Domain Controller was not found. No need to register SPN",
                                      L"Initializing RPC authentication service.",
                                      L"Initializing RPC authentication service.. Ok."}))
      << JoinLines(texts);
  EXPECT_FALSE(HasLineContaining(texts, L"Cannot register authentication information")) << JoinLines(texts);
  // At the start the rule of the service's own name (here a rule of that
  // name exists and is enabled again); at the stop "KorloGuestHelper"
  // whatever the name.
  const std::vector<std::wstring> lookup = {L"Create NetFwPolicy2()", L"Policy2.Rules()",
                                            L"Rules.Item(KorloGuestHelper (In))"};
  std::vector<std::wstring> firewall = lookup;
  firewall.push_back(L"Rule.Enabled(-1)");
  firewall.insert(firewall.end(), lookup.begin(), lookup.end());
  firewall.push_back(L"Rules.Remove(KorloGuestHelper (In))");
  EXPECT_EQ(firewall, SplitLines(Utf16(ReadFileBytes(firewallCalls))));
  EXPECT_TRUE(HasLineContaining(texts, L"Service SPN: [KorloGuestHelperSvc/")) << JoinLines(texts);
  EXPECT_TRUE(ContainsInOrder(Unindented(m_host.LogTexts()), {L"Initializing service...", L"Loading plugins.",
                                                  L"Loading plugins.. Ok.", L"Starting plugins working threads.",
                                                  L"Service started. Is debug mode: [false].",
                                                  L"Entering waiting loop.", L"Exiting waiting loop.",
                                                  L"Agent stopped.", L"SCM status updated."}))
      << JoinLines(m_host.LogTexts());
  const auto calls = PluginCalls();
  EXPECT_TRUE(ContainsInOrder(calls, {L"PluginInitRpcEp", L"PluginDoSvcStartupSteps.return",
                                      L"PluginMain.return|signalled", L"unload"}))
      << JoinLines(calls);
}

// A stop request while the plugin's start-up steps still run is remembered:
// PluginMain still runs and returns before the library is unloaded, and the
// service ends STOPPED.
TEST_F(ServiceE2eTest, StopDuringStartupIsHonoured) {
  svcctl::Start(m_name);
  ASSERT_TRUE(svcctl::WaitForState(m_name, SERVICE_START_PENDING, kStateLimitMs));
  svcctl::Control(m_name, SERVICE_CONTROL_STOP);
  ::SetEvent(m_gate.Get());
  ASSERT_TRUE(svcctl::WaitForState(m_name, SERVICE_STOPPED, kStateLimitMs));
  const auto calls = PluginCalls();
  EXPECT_TRUE(ContainsInOrder(calls, {L"PluginDoSvcStartupSteps.return", L"PluginMain.return|signalled",
                                      L"unload"}))
      << JoinLines(calls);
}

// COM outlives every COM pointer: the plugin, kept loaded to the end, records
// whether COM was still initialised on main's thread as the process ends,
// after a stopped run and after a failed start (the plugin listens first, so
// the host's Listen fails). Exit code 0, no dump.
TEST_F(ServiceE2eTest, ComIsStillInitialisedWhenTheProcessEnds) {
  const std::wstring logFolder = LogFolder();
  const std::vector<std::wstring> dumps = FilesIn(logFolder, L"GA_crash_*.mdmp");
  for (const bool failedStart : {false, true}) {
    SCOPED_TRACE(failedStart ? "failed start" : "run and stop");
    const std::wstring settings = m_host.Folder() + L"\\" + fixture::kSettingsFile;
    WriteFileBytes(settings,
                   ReadFileBytes(settings) + Narrow(failedStart ? fixture::kListenVar : fixture::kComProbeVar) + "=1\n");
    ::DeleteFileW(m_record.c_str());
    ::ResetEvent(m_gate.Get());
    svcctl::Start(m_name);
    const CKernelHandle process(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                              svcctl::ProcessId(m_name)));
    ::SetEvent(m_gate.Get());
    if (!failedStart) {
      ASSERT_TRUE(svcctl::WaitForState(m_name, SERVICE_RUNNING, kStateLimitMs));
      svcctl::Control(m_name, SERVICE_CONTROL_STOP);
    }
    ASSERT_TRUE(process && ::WaitForSingleObject(process.Get(), kStateLimitMs) == WAIT_OBJECT_0);
    DWORD exitCode = 1;
    EXPECT_TRUE(::GetExitCodeProcess(process.Get(), &exitCode) && exitCode == 0) << exitCode;
    const auto calls = PluginCalls();  // "exit|S_OK|APTTYPE_MTA|APTTYPEQUALIFIER_NONE": main's initialisation
    EXPECT_TRUE(ContainsInOrder(calls, {failedStart ? L"listen|0" : L"PluginMain.return|signalled", L"exit|0|1|0"}))
        << JoinLines(calls);
  }
  EXPECT_EQ(dumps, FilesIn(logFolder, L"GA_crash_*.mdmp"));
}

// Debug mode runs the body on the console: any call to the service control
// manager would fail there, so reaching the started line shows there was
// none. Each mode with its configuration; removal is disabled in the
// persistent, FLR and desktop VSS services: the plugin's request without a
// lock name (nothing to wait for) is refused, nothing is copied or started.
TEST(ServiceDebugModeTest, ModesRunTheBodyWithTheirConfigurationAndRefuseRemoval) {
  const std::vector<std::pair<std::wstring, std::vector<std::wstring>>> modes = {
      {L"-persistent", {L"Service name: [KorloVssSupport].", L"working in persistent mode"}},
      {L"-flr -rpcPort 7000",
       {L"Service name: [KorloFlrVssSupport].",
        L"The following port should be used to serve incoming RPC connections: [7000].", L"KorloVssSupport.dll"}},
      {L"-desktopVss",
       {L"Service name: [KorloDesktopVssSvc].",
        L"The following port should be used to serve incoming RPC connections: [9821]."}}};
  for (const auto& mode : modes) {
    SCOPED_TRACE(Narrow(mode.first));
    CHostRun host({L"fixture_plugin_all.dll=KorloVssSupport.dll"});
    const std::wstring record = host.Folder() + L"\\record.txt";
    WriteFileBytes(host.Folder() + L"\\KorloAgentConfig.xml", "");
    WriteFileBytes(host.Folder() + L"\\" + fixture::kSettingsFile,
                   Narrow(std::wstring(fixture::kRecordVar) + L"=" + record + L"\n" + fixture::kUninstallVar +
                          L"=0,none,\n"));
    EXPECT_TRUE(host.Run(L"-dbg " + mode.first, std::string(), 5000).timedOut) << "runs until the process ends";
    EXPECT_NE(std::string::npos, ReadFileBytes(record).find("|uninstall.result|0"));
    const auto texts = Unindented(host.LogTexts());
    std::vector<std::wstring> expected = mode.second;
    for (const wchar_t* line : {L"Initializing service...", L"Disabling uninstall procedure for VSS desktop service.",
                                L"Loading plugins.. Ok.", L"Service started. Is debug mode: [true].",
                                L"Entering waiting loop."}) {
      expected.push_back(line);
    }
    EXPECT_TRUE(ContainsInOrder(texts, expected)) << JoinLines(texts);
    EXPECT_TRUE(ContainsText(texts, L"Skipping uninstall signal : uninstall is disabled for desktop VSS service."));
    EXPECT_FALSE(HasLineContaining(texts, L"Received signal to uninstall the application."));
    EXPECT_FALSE(HasLineContaining(texts, L"Stopping notification about the pending status of the service"));
  }
}

}  // namespace

namespace {

// A plugin whose PluginMain faults takes the service down with one dump in
// the log folder, under the service's prefix, of the plugin's own thread.
TEST(ServiceCrashTest, PluginFaultLeavesOneDumpOfItsThreadInTheLogFolder) {
  CHostRun host({L"fixture_plugin_faults.dll=KorloVssSupport.dll"});
  const std::wstring record = host.Folder() + L"\\record.txt";
  WriteFileBytes(host.Folder() + L"\\KorloAgentConfig.xml", "");
  WriteFileBytes(host.Folder() + L"\\" + fixture::kSettingsFile,
                 Narrow(std::wstring(fixture::kRecordVar) + L"=" + record + L"\n"));
  const std::wstring logFolder = LogFolder();
  const std::vector<std::wstring> before = FilesIn(logFolder, L"GA_crash_*.mdmp");

  const std::wstring name = L"KorloTest-" + NewGuidText();
  svcctl::Create(name, L"\"" + host.ExePath() + L"\"");
  svcctl::Start(name);
  const CKernelHandle process(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                            svcctl::ProcessId(name)));
  const bool ended = process && ::WaitForSingleObject(process.Get(), 60000) == WAIT_OBJECT_0;
  DWORD exitCode = 0;
  ::GetExitCodeProcess(process.Get(), &exitCode);
  svcctl::Delete(name);
  ASSERT_TRUE(ended);
  EXPECT_EQ(fixture::kFaultCode, exitCode) << "a crash off the main thread ends the process with its code";

  std::vector<std::wstring> made;
  for (const std::wstring& dump : FilesIn(logFolder, L"GA_crash_*.mdmp")) {
    if (std::find(before.begin(), before.end(), dump) == before.end()) made.push_back(dump);
  }
  ASSERT_EQ(1u, made.size());
  const SDumpFacts facts = ReadDump(logFolder + L"\\" + made[0]);
  for (const std::wstring& dump : made) ::DeleteFileW((logFolder + L"\\" + dump).c_str());
  EXPECT_TRUE(facts.valid);
  EXPECT_EQ(fixture::kFaultCode, facts.code);
  DWORD pluginThread = 0;
  for (const fixture::SCall& call : fixture::ParseRecord(ReadFileBytes(record))) {
    if (call.what == L"PluginMain") pluginThread = call.threadId;
  }
  EXPECT_NE(0u, pluginThread);
  EXPECT_EQ(pluginThread, facts.threadId);
}

}  // namespace
