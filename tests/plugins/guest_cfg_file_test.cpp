#include "plugins/guest_cfg_file.h"

#include "log/log.h"
#include "test_support.h"
#include "util/exc.h"
#include "util/msg.h"
#include "util/xml.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace {

using cfg::CGuestCfgFile;
using cfg::CPortsSettings;
using testing_support::CScratchDir;
using Texts = std::vector<std::wstring>;

struct SLogEntry {
  std::int32_t level;
  std::int32_t alignment;  // relative to the first entry recorded
  std::wstring text;
  bool operator==(const SLogEntry& o) const { return level == o.level && alignment == o.alignment && text == o.text; }
};

std::ostream& operator<<(std::ostream& out, const SLogEntry& e) {
  return out << "{" << e.level << ", " << e.alignment << ", " << testing_support::Narrow(e.text) << "}";
}

// Records every line g_log dispatches while it is alive; the previous writer
// comes back on destruction.
class CLogRecorder {
 public:
  CLogRecorder() : m_previous(g_log.GetWriter()), m_writer(std::make_shared<CWriter>()) { g_log.SetWriter(m_writer); }
  ~CLogRecorder() { g_log.SetWriter(m_previous); }
  CLogRecorder(const CLogRecorder&) = delete;
  CLogRecorder& operator=(const CLogRecorder&) = delete;

  std::vector<SLogEntry> Entries() const {
    std::vector<SLogEntry> entries = m_writer->entries;
    const std::int32_t base = entries.empty() ? 0 : entries.front().alignment;
    for (SLogEntry& e : entries) e.alignment -= base;
    return entries;
  }

 private:
  struct CWriter : CLogWriter {
    void Reopen() override {}
    void Write(std::int32_t level, CLog&, std::int32_t alignment, const std::wstring& text) override {
      entries.push_back({level, alignment, text});
    }
    std::vector<SLogEntry> entries;
  };

  std::shared_ptr<CLogWriter> m_previous;
  std::shared_ptr<CWriter> m_writer;
};

std::shared_ptr<CExc> ThrownBy(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const CExc& e) {
    return e.Clone();
  }
  return nullptr;
}

CXmlElement PortsElementOf(const CGuestCfgFile& config) {
  return GetChildElement(GetChildElement(GetDocumentNode(config.GetDocument()), L"GuestAgentConfig"), L"PortsCfg");
}

void ExpectBuiltInDefault(const CGuestCfgFile& config) {
  std::wstring name;
  EXPECT_TRUE(config.GetServiceName(name));
  EXPECT_EQ(name, L"KorloVssSupport");
  EXPECT_EQ(config.EnumPlugins(), Texts{L"KorloVssSupport.dll"});
  const CPortsSettings ports = config.GetPortsSettings();
  EXPECT_TRUE(ports.UseDynPort());
  EXPECT_EQ(ports.StaticPort(), 2010);
}

void ExpectBlank(const CGuestCfgFile& config) {
  std::wstring name = L"untouched";
  EXPECT_FALSE(config.GetServiceName(name));
  EXPECT_EQ(name, L"untouched");
  EXPECT_TRUE(config.EnumPlugins().empty());
  const CPortsSettings ports = config.GetPortsSettings();
  EXPECT_TRUE(ports.UseDynPort());
  EXPECT_EQ(ports.StaticPort(), 2010);
  // The blank document stores no static port.
  const auto e = ThrownBy([&] { GetAttributeText(PortsElementOf(config), L"StaticPort"); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->GetCode(), 1);
}

TEST(GuestCfgFile, StartDocumentFollowsWhatExistsAtThePathAndTheFlags) {
  enum EAtPath { kNothing, kFile, kFolder };
  struct Case {
    const char* what;
    EAtPath atPath;
    bool inMemory;
    bool persistent;
    bool expectDefault;
  };
  const Case cases[] = {
      {"no file", kNothing, false, false, false},
      {"no file, persistent", kNothing, false, true, true},
      {"file", kFile, false, false, true},
      {"folder of that name", kFolder, false, false, true},
      {"file, persistent", kFile, false, true, true},
      {"in memory, file present", kFile, true, false, false},
      {"in memory, persistent", kNothing, true, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const CScratchDir dir;
    const std::wstring path = dir / CGuestCfgFile::kFileName;
    if (c.atPath == kFile) testing_support::WriteFileBytes(path, "<GuestAgentConfig/>");
    if (c.atPath == kFolder) {
      ASSERT_TRUE(::CreateDirectoryW(path.c_str(), nullptr));
    }

    const CGuestCfgFile config(path, c.inMemory, c.persistent);
    EXPECT_EQ(config.GetPath(), path);
    if (c.expectDefault) {
      ExpectBuiltInDefault(config);
    } else {
      ExpectBlank(config);
    }
  }
}

TEST(GuestCfgFile, FileContentIsNeverRead) {
  const char* const contents[] = {
      "<GuestAgentConfig ServiceName=\"Other\"><PluginsCnt><Plugin Path=\"Other.dll\"/></PluginsCnt>"
      "<PortsCfg UseDynPort=\"false\" StaticPort=\"1234\"/></GuestAgentConfig>",
      "<GuestAgentConfig ServiceName=",  // malformed
      "",
      "\xff\xfe\x00\x01 not xml at all",
  };
  for (const char* content : contents) {
    SCOPED_TRACE(content);
    const CScratchDir dir;
    const std::wstring path = dir / CGuestCfgFile::kFileName;
    testing_support::WriteFileBytes(path, content);
    ExpectBuiltInDefault(CGuestCfgFile(path, false, false));
  }
}

TEST(GuestCfgFile, PathBelowAFileCountsAsAbsent) {
  // Depending on the system the existence test fails here with "path not
  // found" or with another error (logged as a warning); either way the
  // configuration starts blank.
  const CScratchDir dir;
  testing_support::WriteFileBytes(dir / L"file", "x");
  ExpectBlank(CGuestCfgFile(dir / L"file\\KorloAgentConfig.xml", false, false));
}

TEST(GuestCfgFile, InMemoryDocumentsReadBackWhatTheModesStore) {
  struct Case {
    const wchar_t* serviceName;
    std::uint16_t staticPort;  // 0: the default ports settings
    const wchar_t* storedStaticPort;  // null: no StaticPort attribute
  };
  const Case cases[] = {
      {L"KorloDesktopVssSvc", 9821, L"9821"},  // desktop mode
      {L"KorloFlrVssSupport", 0, nullptr},     // FLR mode without rpcPort
      {L"KorloFlrVssSupport", 65535, L"65535"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.staticPort);
    CGuestCfgFile config(L"", true, true);
    config.SetServiceName(c.serviceName);
    config.AddPlugin(L"KorloVssSupport.dll");
    CPortsSettings ports;
    if (c.staticPort != 0) ports.SetStaticPort(c.staticPort);
    config.SetPortsSettings(ports);

    std::wstring name;
    EXPECT_TRUE(config.GetServiceName(name));
    EXPECT_EQ(name, c.serviceName);
    EXPECT_EQ(config.EnumPlugins(), Texts{L"KorloVssSupport.dll"});
    const CPortsSettings read = config.GetPortsSettings();
    EXPECT_EQ(read.UseDynPort(), c.staticPort == 0);
    EXPECT_EQ(read.StaticPort(), c.staticPort == 0 ? 2010 : c.staticPort);
    EXPECT_EQ(GetAttributeText(PortsElementOf(config), L"UseDynPort"), BoolText(c.staticPort == 0));
    if (c.storedStaticPort) {
      EXPECT_EQ(GetAttributeText(PortsElementOf(config), L"StaticPort"), c.storedStaticPort);
    } else {
      EXPECT_TRUE(ThrownBy([&] { GetAttributeText(PortsElementOf(config), L"StaticPort"); }));
    }
  }
}

TEST(GuestCfgFile, SwitchingBackToDynamicPortLeavesTheStaticPortStored) {
  CGuestCfgFile config(L"", true, false);
  CPortsSettings ports;
  ports.SetStaticPort(7000);
  config.SetPortsSettings(ports);
  ports.SetDefaults();
  config.SetPortsSettings(ports);

  const CPortsSettings read = config.GetPortsSettings();
  EXPECT_TRUE(read.UseDynPort());
  EXPECT_EQ(read.StaticPort(), 2010);
  EXPECT_EQ(GetAttributeText(PortsElementOf(config), L"StaticPort"), L"7000");
}

TEST(GuestCfgFile, PluginsAreListedInRegistrationOrderDuplicatesIncluded) {
  CGuestCfgFile blank(L"", true, false);
  for (const wchar_t* path : {L"b.dll", L"C:\\Plugins\\a.dll", L"b.dll"}) blank.AddPlugin(path);
  EXPECT_EQ(blank.EnumPlugins(), (Texts{L"b.dll", L"C:\\Plugins\\a.dll", L"b.dll"}));

  CGuestCfgFile defaults(L"", false, true);
  defaults.AddPlugin(L"Extra.dll");
  EXPECT_EQ(defaults.EnumPlugins(), (Texts{L"KorloVssSupport.dll", L"Extra.dll"}));
}

TEST(GuestCfgFile, ServiceNameNoneReadsBackAsNotFound) {
  CGuestCfgFile config(L"", false, true);
  config.SetServiceName(L"NONE");
  std::wstring name = L"untouched";
  EXPECT_FALSE(config.GetServiceName(name));
  EXPECT_EQ(name, L"untouched");

  config.SetServiceName(L"none");  // the marker is case-sensitive
  EXPECT_TRUE(config.GetServiceName(name));
  EXPECT_EQ(name, L"none");
}

TEST(GuestCfgFile, PortsSectionIsStaticForAnyTextButTrueAndNeedsAValidPort) {
  struct Case {
    const wchar_t* useDynPort;
    const wchar_t* staticPort;  // null: attribute missing
    std::int32_t code;          // 0: reads fine
    std::wstring secondLine;    // of the failure; for success the port read
  };
  const std::wstring kIntLine = L"Cannot get the value of integer XML attribute. Attribute name: [StaticPort].";
  const Case cases[] = {
      {L"TRUE", L"not read when dynamic", 0, L"2010"},
      {L"yes", L"6000", 0, L"6000"},
      {L"false", nullptr, 1, kIntLine},
      {L"false", L"abc", static_cast<std::int32_t>(E_FAIL), kIntLine},
      {L"false", L"70000", static_cast<std::int32_t>(E_INVALIDARG), L"The static port is out of range. Port: [70000]."},
      {L"false", L"-1", static_cast<std::int32_t>(E_INVALIDARG), L"The static port is out of range. Port: [-1]."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing_support::Narrow(c.useDynPort) + " / " +
                 (c.staticPort ? testing_support::Narrow(c.staticPort) : "missing"));
    CGuestCfgFile config(L"", true, false);
    SetAttributeText(PortsElementOf(config), L"UseDynPort", c.useDynPort);
    if (c.staticPort) SetAttributeText(PortsElementOf(config), L"StaticPort", c.staticPort);

    if (c.code == 0) {
      const CPortsSettings read = config.GetPortsSettings();
      EXPECT_EQ(read.UseDynPort(), c.secondLine == L"2010");
      EXPECT_EQ(DecText(read.StaticPort()), c.secondLine);
      continue;
    }
    const auto e = ThrownBy([&] { config.GetPortsSettings(); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->GetCode(), c.code);
    ASSERT_GE(e->GetMessages().size(), 2u);
    EXPECT_EQ(e->GetMessages()[0], L"Cannot unserialize the ports usage settings.");
    EXPECT_EQ(e->GetMessages()[1], c.secondLine);
  }
}

TEST(GuestCfgFile, SummaryLogsNamePortPolicyAndPlugins) {
  constexpr std::int32_t I = kLogInfo;
  {
    SCOPED_TRACE("built-in default");
    const CGuestCfgFile config(L"", false, true);
    CLogRecorder recorder;
    config.LogSummary();
    EXPECT_EQ(recorder.Entries(),
              (std::vector<SLogEntry>{
                  {I, 0, L"Service configuration:"},
                  {I, 0, L"{"},
                  {I, 1, L"Service name: [KorloVssSupport]."},
                  {I, 1, L"Dynamic port allocation should be used to serve incoming RPC connections."},
                  {I, 1, L"The following plugins should be hosted in the service's process:"},
                  {I, 1, L"{"},
                  {I, 2, L"KorloVssSupport.dll"},
                  {I, 1, L"}"},
                  {I, 0, L"}"},
              }));
  }
  {
    SCOPED_TRACE("no name, static port, two plugins");
    CGuestCfgFile config(L"", true, false);
    config.AddPlugin(L"One.dll");
    config.AddPlugin(L"Two.dll");
    CPortsSettings ports;
    ports.SetStaticPort(9821);
    config.SetPortsSettings(ports);
    CLogRecorder recorder;
    config.LogSummary();
    EXPECT_EQ(recorder.Entries(),
              (std::vector<SLogEntry>{
                  {I, 0, L"Service configuration:"},
                  {I, 0, L"{"},
                  {I, 1, L"Service name: [NONE]."},
                  {I, 1, L"The following port should be used to serve incoming RPC connections: [9821]."},
                  {I, 1, L"The following plugins should be hosted in the service's process:"},
                  {I, 1, L"{"},
                  {I, 2, L"One.dll"},
                  {I, 2, L"Two.dll"},
                  {I, 1, L"}"},
                  {I, 0, L"}"},
              }));
  }
}

TEST(GuestCfgFile, SummaryEndsWithTheErrorWhenASectionCannotBeRead) {
  CGuestCfgFile config(L"", true, false);
  SetBoolAttribute(PortsElementOf(config), L"UseDynPort", false);  // and no StaticPort

  CLogRecorder recorder;
  EXPECT_NO_THROW(config.LogSummary());
  const std::vector<SLogEntry> entries = recorder.Entries();
  ASSERT_GE(entries.size(), 4u);
  EXPECT_EQ(entries[0], (SLogEntry{kLogInfo, 0, L"Service configuration:"}));
  EXPECT_EQ(entries[1], (SLogEntry{kLogInfo, 0, L"{"}));
  EXPECT_EQ(entries[2], (SLogEntry{kLogInfo, 1, L"Service name: [NONE]."}));
  EXPECT_EQ(entries[3].level, kLogError);
  EXPECT_EQ(entries[3].text, L"Cannot unserialize the ports usage settings.");
  for (std::size_t i = 3; i < entries.size(); ++i) {
    EXPECT_EQ(entries[i].level, kLogError) << entries[i];
  }
}

}  // namespace
