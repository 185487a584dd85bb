#include "settings/settings.h"

#include "log/log.h"
#include "test_support.h"
#include "util/handle.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

namespace {

using testing_support::CTestRegKey;
using testing_support::Narrow;

// The real settings key: the readers know no other.
const wchar_t kKey[] = L"SOFTWARE\\Korlo\\Korlo Tandem";

struct SLogRecord {
  std::int32_t level;
  std::int32_t alignment;
  std::wstring text;
};

class CRecordingWriter : public CLogWriter {
 public:
  void Reopen() override {}
  void Write(std::int32_t level, CLog&, std::int32_t alignment, const std::wstring& text) override {
    records.push_back({level, alignment, text});
  }
  std::vector<SLogRecord> records;
};

bool StartsWith(const std::wstring& text, const std::wstring& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}
bool EndsWith(const std::wstring& text, const std::wstring& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::vector<BYTE> Bytes(const std::wstring& text, size_t byteCount) {
  const BYTE* data = reinterpret_cast<const BYTE*>(text.c_str());
  return std::vector<BYTE>(data, data + byteCount);
}

// Stores the first byteCount bytes of text. The system adds the terminator a
// writer left out of a string's size when the memory after it holds one, so
// for an unterminated value text must go on past byteCount.
void SetStringBytes(const wchar_t* name, DWORD type, const std::wstring& text, DWORD byteCount) {
  CRegKey key;
  ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                             key.Receive(), nullptr));
  ASSERT_EQ(ERROR_SUCCESS, ::RegSetValueExW(key.Get(), name, 0, type,
                                            reinterpret_cast<const BYTE*>(text.c_str()), byteCount));
}

// Every test starts and ends without the settings key, with a recording
// writer in g_log that takes every level.
class SettingsTest : public testing::Test {
 protected:
  void SetUp() override {
    m_savedWriter = g_log.GetWriter();
    m_savedLevel = g_log.GetLevel();
    m_writer = std::make_shared<CRecordingWriter>();
    g_log.SetWriter(m_writer);
    g_log.SetLevel(kLogMessage);
  }
  void TearDown() override {
    g_log.SetWriter(m_savedWriter);
    g_log.SetLevel(m_savedLevel);
  }

  std::vector<SLogRecord>& Records() { return m_writer->records; }
  // The lines of the records, joined with "\n".
  std::wstring LoggedText(std::int32_t level) {
    std::wstring text;
    for (const SLogRecord& record : Records()) {
      if (record.level != level) continue;
      if (!text.empty()) text += L"\n";
      text += record.text;
    }
    return text;
  }

  CTestRegKey m_key{kKey};

 private:
  std::shared_ptr<CRecordingWriter> m_writer;
  std::shared_ptr<CLogWriter> m_savedWriter;
  std::int32_t m_savedLevel = kLogMessage;
};

// The numeric readers as one shape, for the tables below.
struct SNumberReader {
  const wchar_t* name;
  std::function<std::uint32_t()> read;
  std::uint32_t defaultValue;
};

std::vector<SNumberReader> QuietNumberReaders() {
  return {
      {L"OutOfProcDumpGen", [] { return static_cast<std::uint32_t>(GetOutOfProcDumpGen()); }, 0},
      {L"MiniDumpModeMask", GetMiniDumpModeMask, 0},
      {L"AgentMaxLogSize", GetAgentMaxLogSize, 20971520},
      {L"AgentMaxLogCount", GetAgentMaxLogCount, 50},
  };
}

struct SFlagReader {
  const wchar_t* name;
  std::function<bool()> read;
  bool defaultValue;
  const wchar_t* defaultText;
};

std::vector<SFlagReader> LoggingFlagReaders() {
  return {
      {L"GuestRuntimeUseStaticPort", GetGuestRuntimeUseStaticPort, false, L"false"},
      {L"KerberosAutomaticSPNRegistration", GetKerberosAutomaticSPNRegistration, true, L"true"},
      // The generic reader with a name of its own and either default.
      {L"PrivateTestFlag", [] { return ReadRegistryFlag(L"PrivateTestFlag", true); }, true, L"true"},
      {L"PrivateTestFlag", [] { return ReadRegistryFlag(L"PrivateTestFlag", false); }, false, L"false"},
  };
}

TEST_F(SettingsTest, MissingKeyGivesEveryDefault) {
  for (const SNumberReader& reader : QuietNumberReaders()) {
    EXPECT_EQ(reader.defaultValue, reader.read()) << Narrow(reader.name);
  }
  EXPECT_EQ(L"", GetMiniDumpModeText());
  EXPECT_TRUE(Records().empty()) << "quiet readers logged " << Narrow(Records().front().text);

  for (const SFlagReader& reader : LoggingFlagReaders()) {
    Records().clear();
    EXPECT_EQ(reader.defaultValue, reader.read()) << Narrow(reader.name);
    // One plain line, its failure text split over the log lines.
    const std::wstring logged = LoggedText(kLogMessage);
    const std::wstring expected = std::wstring(L"Cannot read ") + reader.name +
                                  L" from registry. Using default value " + reader.defaultText +
                                  L". Cannot open the registry key: SOFTWARE\\Korlo\\Korlo Tandem.\n";
    EXPECT_TRUE(StartsWith(logged, expected)) << Narrow(logged);
    EXPECT_NE(std::wstring::npos, logged.find(L"\nWin32 error:")) << Narrow(logged);
    EXPECT_TRUE(EndsWith(logged, L" Code: 2")) << Narrow(logged);
    for (const SLogRecord& record : Records()) {
      EXPECT_EQ(kLogMessage, record.level) << Narrow(record.text);
      EXPECT_EQ(0, record.alignment) << Narrow(record.text);
    }
  }
}

TEST_F(SettingsTest, MissingValueGivesDefault) {
  m_key.Create();
  for (const SNumberReader& reader : QuietNumberReaders()) {
    EXPECT_EQ(reader.defaultValue, reader.read()) << Narrow(reader.name);
  }
  EXPECT_EQ(L"", GetMiniDumpModeText());
  EXPECT_TRUE(Records().empty());

  for (const SFlagReader& reader : LoggingFlagReaders()) {
    Records().clear();
    EXPECT_EQ(reader.defaultValue, reader.read()) << Narrow(reader.name);
    ASSERT_EQ(1u, Records().size()) << Narrow(reader.name);
    EXPECT_EQ(kLogInfo, Records()[0].level);
    EXPECT_EQ(std::wstring(reader.name) + L" registry value is not set. Using default value: " + reader.defaultText,
              Records()[0].text);
  }
}

TEST_F(SettingsTest, StoredNumbersAreReadWithTheirRules) {
  const struct {
    const wchar_t* name;
    DWORD stored;
    std::uint32_t expected;
  } cases[] = {
      {L"OutOfProcDumpGen", 1, 1},
      {L"OutOfProcDumpGen", 0x100, 1},  // any non-zero number is true
      {L"OutOfProcDumpGen", 0, 0},
      {L"MiniDumpModeMask", 0x1826, 0x1826},
      {L"MiniDumpModeMask", 0xFFFFFFFF, 0xFFFFFFFF},
      {L"AgentMaxLogSize", 1048576, 20971520},  // not above the floor
      {L"AgentMaxLogSize", 0, 20971520},
      {L"AgentMaxLogSize", 20971520, 20971520},
      {L"AgentMaxLogSize", 20971521, 20971521},
      {L"AgentMaxLogSize", 52428800, 52428800},
      {L"AgentMaxLogCount", 0, 0},  // taken as it is, 0 included
      {L"AgentMaxLogCount", 7, 7},
      {L"AgentMaxLogCount", 1000, 1000},
  };
  const std::vector<SNumberReader> readers = QuietNumberReaders();
  for (const auto& c : cases) {
    m_key.SetDword(c.name, c.stored);
    for (const SNumberReader& reader : readers) {
      if (std::wstring(reader.name) == c.name) {
        EXPECT_EQ(c.expected, reader.read()) << Narrow(c.name) << " = " << c.stored;
      }
    }
  }
  EXPECT_TRUE(Records().empty());
}

TEST_F(SettingsTest, StoredFlagsAreReadWithoutLogging) {
  for (const SFlagReader& reader : LoggingFlagReaders()) {
    for (DWORD stored : {0u, 1u, 0x80000000u}) {
      m_key.SetDword(reader.name, stored);
      EXPECT_EQ(stored != 0, reader.read()) << Narrow(reader.name) << " = " << stored;
    }
  }
  EXPECT_TRUE(Records().empty());
}

TEST_F(SettingsTest, NumbersOfTheWrongTypeGiveDefault) {
  const struct {
    const wchar_t* what;
    std::vector<BYTE> data;
    DWORD type;
  } stored[] = {
      {L"short REG_SZ", Bytes(L"1", 4), REG_SZ},  // fits the 4-byte read
      {L"long REG_SZ", Bytes(L"52428800", 18), REG_SZ},
      {L"REG_EXPAND_SZ", Bytes(L"7", 4), REG_EXPAND_SZ},
      {L"REG_BINARY", {0x00, 0x00, 0x40, 0x03}, REG_BINARY},
      {L"REG_QWORD", {0x00, 0x00, 0x40, 0x03, 0, 0, 0, 0}, REG_QWORD},
      {L"2-byte REG_DWORD", {0x07, 0x00}, REG_DWORD},
      {L"8-byte REG_DWORD", {0x00, 0x00, 0x40, 0x03, 0, 0, 0, 0}, REG_DWORD},
  };
  for (const auto& s : stored) {
    Records().clear();
    for (const SNumberReader& reader : QuietNumberReaders()) {
      m_key.SetBinary(reader.name, s.data, s.type);
      EXPECT_EQ(reader.defaultValue, reader.read()) << Narrow(reader.name) << " as " << Narrow(s.what);
    }
    EXPECT_TRUE(Records().empty()) << Narrow(s.what);

    for (const SFlagReader& reader : LoggingFlagReaders()) {
      Records().clear();
      m_key.SetBinary(reader.name, s.data, s.type);
      EXPECT_EQ(reader.defaultValue, reader.read()) << Narrow(reader.name) << " as " << Narrow(s.what);
      // The failure text keeps the trailing blank of its first line.
      const std::wstring logged = LoggedText(kLogMessage);
      const std::wstring expected = std::wstring(L"Cannot read ") + reader.name +
                                    L" from registry. Using default value " + reader.defaultText +
                                    L". Cannot read value " + reader.name + L" \n";
      EXPECT_TRUE(StartsWith(logged, expected)) << Narrow(logged);
      EXPECT_NE(std::wstring::npos, logged.find(L"\nWin32 error:")) << Narrow(logged);
      EXPECT_TRUE(EndsWith(logged, L" Code: 13")) << Narrow(logged);
      EXPECT_EQ(L"", LoggedText(kLogInfo));
    }
  }
}

TEST_F(SettingsTest, MiniDumpModeTextIsReadAsStored) {
  const std::wstring longest(31, L'x');  // 31 characters and the NUL fill the buffer
  const struct {
    const wchar_t* what;
    std::wstring text;
    DWORD byteCount;
    DWORD type;
    std::wstring expected;
  } cases[] = {
      {L"REG_SZ", L"Full", 10, REG_SZ, L"Full"},
      {L"REG_EXPAND_SZ, not expanded", L"%TEMP%", 14, REG_EXPAND_SZ, L"%TEMP%"},
      {L"empty", L"", 2, REG_SZ, L""},
      {L"31 characters", longest, 64, REG_SZ, longest},
      {L"32 characters", std::wstring(32, L'x'), 66, REG_SZ, L""},
      {L"200 characters", std::wstring(200, L'x'), 402, REG_SZ, L""},
      {L"odd size", std::wstring(L"Normal\0X", 8), 15, REG_SZ, L""},  // NUL and one byte more
      {L"no terminator", L"NormalXX", 12, REG_SZ, L""},
      {L"no data", L"X", 0, REG_SZ, L""},
      {L"REG_DWORD", L"N", 4, REG_DWORD, L""},
      {L"REG_MULTI_SZ", std::wstring(L"Full\0", 5), 12, REG_MULTI_SZ, L""},
      {L"REG_BINARY", L"Full", 10, REG_BINARY, L""},
  };
  for (const auto& c : cases) {
    SetStringBytes(L"MiniDumpMode", c.type, c.text, c.byteCount);
    EXPECT_EQ(c.expected, GetMiniDumpModeText()) << Narrow(c.what);
  }
  EXPECT_TRUE(Records().empty());
}

}  // namespace
