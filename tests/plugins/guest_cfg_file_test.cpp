#include "plugins/guest_cfg_file.h"

#include "log/log.h"
#include "log_capture.h"
#include "test_support.h"
#include "base/exc.h"
#include "base/msg.h"
#include "util/xml.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace {

using cfg::CGuestCfgFile;
using cfg::CPortsSettings;
using testing_support::CScratchDir;
using Texts = std::vector<std::wstring>;

CXmlElement PortsElementOf(const CGuestCfgFile& config) {
  return GetChildElement(GetChildElement(GetDocumentNode(config.GetDocument()), L"GuestAgentConfig"), L"PortsCfg");
}

// The StaticPort attribute as stored; "missing" when the document has none.
std::wstring StoredStaticPort(const CGuestCfgFile& config) {
  try {
    return GetAttributeText(PortsElementOf(config), L"StaticPort");
  } catch (const CExc& e) {
    return e.GetCode() == 1 ? L"missing" : L"error " + DecText(e.GetCode());
  }
}

TEST(GuestCfgFile, StartDocumentFollowsWhatExistsAtThePathAndTheFlags) {
  enum EAtPath { kNothing, kFile, kBelowFile };
  const struct {
    const char* what;
    EAtPath atPath;
    bool inMemory, persistent;
    bool builtInDefault;  // else the blank document
  } cases[] = {
      {"no file", kNothing, false, false, false},
      {"no file, persistent", kNothing, false, true, true},
      {"file", kFile, false, false, true},
      // The existence test fails with "path not found" or, depending on the
      // system, another error (logged as a warning): absent either way.
      {"path below a file", kBelowFile, false, false, false},
      {"in memory, file present", kFile, true, false, false},
      {"in memory, persistent", kNothing, true, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const CScratchDir dir;
    std::wstring path = dir / CGuestCfgFile::kFileName;
    // The file's content is never read, whatever it says.
    if (c.atPath == kFile) testing_support::WriteFileBytes(path, "<GuestAgentConfig ServiceName=\"Other\"/>");
    if (c.atPath == kBelowFile) {
      testing_support::WriteFileBytes(dir / L"file", "x");
      path = dir / L"file\\KorloAgentConfig.xml";
    }
    const CGuestCfgFile config(path, c.inMemory, c.persistent);
    std::wstring name = L"untouched";
    EXPECT_EQ(c.builtInDefault, config.GetServiceName(name));
    EXPECT_EQ(c.builtInDefault ? L"KorloVssSupport" : L"untouched", name);
    EXPECT_EQ(c.builtInDefault ? Texts{L"KorloVssSupport.dll"} : Texts{}, config.EnumPlugins());
    const CPortsSettings ports = config.GetPortsSettings();
    EXPECT_TRUE(ports.UseDynPort());
    EXPECT_EQ(ports.StaticPort(), 2010);
    EXPECT_EQ(L"missing", StoredStaticPort(config));
  }
}

TEST(GuestCfgFile, InMemoryDocumentStoresNameAndPortPolicy) {
  CGuestCfgFile config(L"", true, true);
  std::wstring name = L"untouched";
  config.SetServiceName(L"NONE");  // stands for "no name"
  EXPECT_FALSE(config.GetServiceName(name));
  EXPECT_EQ(name, L"untouched");
  config.SetServiceName(L"none");  // the marker is case-sensitive
  EXPECT_TRUE(config.GetServiceName(name));
  EXPECT_EQ(name, L"none");

  CPortsSettings ports;
  ports.SetStaticPort(65535);
  config.SetPortsSettings(ports);
  EXPECT_FALSE(config.GetPortsSettings().UseDynPort());
  EXPECT_EQ(config.GetPortsSettings().StaticPort(), 65535);
  // Back to a dynamic port: the static port stays stored.
  config.SetPortsSettings(CPortsSettings());
  EXPECT_TRUE(config.GetPortsSettings().UseDynPort());
  EXPECT_EQ(config.GetPortsSettings().StaticPort(), 2010);
  EXPECT_EQ(StoredStaticPort(config), L"65535");
}

TEST(GuestCfgFile, PortsSectionIsStaticForAnyTextButTrueAndNeedsAValidPort) {
  const std::wstring kIntLine = L"Cannot get the value of integer XML attribute. Attribute name: [StaticPort].";
  const struct {
    const wchar_t* useDynPort;
    const wchar_t* staticPort;  // null: attribute missing
    std::int32_t code;          // 0: reads fine
    std::wstring secondLine;    // of the failure; for success the port read
  } cases[] = {
      {L"TRUE", L"not read when dynamic", 0, L"2010"},
      {L"yes", L"6000", 0, L"6000"},
      {L"false", nullptr, 1, kIntLine},
      {L"false", L"abc", static_cast<std::int32_t>(E_FAIL), kIntLine},
      {L"false", L"70000", static_cast<std::int32_t>(E_INVALIDARG), L"The static port is out of range. Port: [70000]."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    CGuestCfgFile config(L"", true, false);
    SetAttributeText(PortsElementOf(config), L"UseDynPort", c.useDynPort);
    if (c.staticPort) SetAttributeText(PortsElementOf(config), L"StaticPort", c.staticPort);
    try {
      const CPortsSettings read = config.GetPortsSettings();
      EXPECT_EQ(0, c.code) << "read";
      EXPECT_EQ(read.UseDynPort(), c.secondLine == L"2010");
      EXPECT_EQ(DecText(read.StaticPort()), c.secondLine);
    } catch (const CExc& e) {
      EXPECT_EQ(e.GetCode(), c.code);
      ASSERT_GE(e.GetMessages().size(), 2u);
      EXPECT_EQ(e.GetMessages()[0], L"Cannot unserialize the ports usage settings.");
      EXPECT_EQ(e.GetMessages()[1], c.secondLine);
    }
  }
}

// Level, indent from the first line, text.
using SummaryLine = std::tuple<std::int32_t, std::int32_t, std::wstring>;

std::vector<SummaryLine> SummaryOf(const CGuestCfgFile& config) {
  testing_support::CLogCapture log;
  config.LogSummary();
  const auto captured = log.Lines();
  std::vector<SummaryLine> lines;
  for (const auto& line : captured) lines.emplace_back(line.level, line.alignment - captured[0].alignment, line.text);
  return lines;
}

TEST(GuestCfgFile, SummaryLogsNamePortPolicyAndPlugins) {
  // The built-in default's summary is checked through the executable.
  constexpr std::int32_t I = kLogInfo;
  CGuestCfgFile config(L"", true, false);
  config.AddPlugin(L"One.dll");
  config.AddPlugin(L"Two.dll");
  CPortsSettings ports;
  ports.SetStaticPort(9821);
  config.SetPortsSettings(ports);
  EXPECT_EQ(SummaryOf(config),
            (std::vector<SummaryLine>{
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

TEST(GuestCfgFile, SummaryEndsWithTheErrorWhenASectionCannotBeRead) {
  CGuestCfgFile config(L"", true, false);
  SetBoolAttribute(PortsElementOf(config), L"UseDynPort", false);  // and no StaticPort
  std::vector<SummaryLine> lines;
  ASSERT_NO_THROW(lines = SummaryOf(config));
  ASSERT_GE(lines.size(), 4u);  // the opening lines, the name, then the error
  EXPECT_EQ(std::get<2>(lines[3]), L"Cannot unserialize the ports usage settings.");
  for (std::size_t i = 3; i < lines.size(); ++i) EXPECT_EQ(std::get<0>(lines[i]), kLogError) << i;
}

}  // namespace
