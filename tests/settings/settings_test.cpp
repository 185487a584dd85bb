#include "settings/settings.h"

#include "exc_checks.h"
#include "log/log.h"
#include "log_capture.h"
#include "test_support.h"
#include "base/handle.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace {

using testing_support::CLogCapture;
using testing_support::CTestRegKey;
using testing_support::EndsWith;
using testing_support::Narrow;
using testing_support::StartsWith;

// The real settings key: the readers know no other.
const wchar_t kKey[] = L"SOFTWARE\\Korlo\\Korlo Tandem";

using Lines = std::vector<CLogCapture::SLine>;

// The DWORD readers as one shape; a flag reads as 0 or 1.
struct SReader {
  const wchar_t* name;
  std::function<std::uint32_t()> read;
  std::uint32_t defaultValue;
  const wchar_t* defaultText;  // null: a quiet reader, which never logs
  DWORD stored;                // a stored value and what it reads as
  std::uint32_t readAs;
};

const SReader kReaders[] = {  // any non-zero number is true; a size just above its floor; a count of 0 as it is
    {L"OutOfProcDumpGen", [] { return static_cast<std::uint32_t>(GetOutOfProcDumpGen()); }, 0, nullptr, 0x100, 1},
    {L"MiniDumpModeMask", GetMiniDumpModeMask, 0, nullptr, 0xFFFFFFFF, 0xFFFFFFFF},
    {L"AgentMaxLogSize", GetAgentMaxLogSize, 20971520, nullptr, 20971521, 20971521},
    {L"AgentMaxLogCount", GetAgentMaxLogCount, 50, nullptr, 0, 0},
    {L"GuestRuntimeUseStaticPort", [] { return std::uint32_t{GetGuestRuntimeUseStaticPort()}; }, 0, L"false",
     0x80000000, 1},
    {L"KerberosAutomaticSPNRegistration", [] { return std::uint32_t{GetKerberosAutomaticSPNRegistration()}; }, 1,
     L"true", 0, 0},
};

std::vector<BYTE> Bytes(const std::wstring& text, size_t byteCount) {
  const BYTE* data = reinterpret_cast<const BYTE*>(text.c_str());
  return std::vector<BYTE>(data, data + byteCount);
}

// Stores the first byteCount bytes of text as MiniDumpMode. The system adds
// the terminator a writer left out of a string's size when the memory after
// it holds one, so for an unterminated value text must go on past byteCount.
void SetMiniDumpMode(DWORD type, const std::wstring& text, DWORD byteCount) {
  CRegKey key;
  ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                             key.Receive(), nullptr));
  ASSERT_EQ(ERROR_SUCCESS, ::RegSetValueExW(key.Get(), L"MiniDumpMode", 0, type,
                                            reinterpret_cast<const BYTE*>(text.c_str()), byteCount));
}

// A read failure is one plain line, its failure text split over the log
// lines: "Cannot read <name> from registry. Using default value <default>.
// <failure>\n...Win32 error: <system text> Code: <code>".
void ExpectFailureLogged(const Lines& lines, const SReader& reader, const std::wstring& failure,
                         const std::wstring& code) {
  std::wstring text;
  for (const auto& line : lines) {
    EXPECT_EQ(kLogMessage, line.level) << Narrow(line.text);
    EXPECT_EQ(0, line.alignment) << Narrow(line.text);
    text += (text.empty() ? L"" : L"\n") + line.text;
  }
  EXPECT_TRUE(StartsWith(text, L"Cannot read " + std::wstring(reader.name) + L" from registry. Using default value " +
                                   reader.defaultText + L". " + failure + L"\n"))
      << Narrow(text);
  EXPECT_NE(std::wstring::npos, text.find(L"\nWin32 error:")) << Narrow(text);
  EXPECT_TRUE(EndsWith(text, L" Code: " + code)) << Narrow(text);
}

// Every test starts and ends without the settings key.
class SettingsTest : public testing::Test {
 protected:
  CTestRegKey m_key{kKey};
};

TEST_F(SettingsTest, StoredValuesAreReadWithTheirRulesAndWithoutLogging) {
  CLogCapture log;
  for (const SReader& reader : kReaders) {
    m_key.SetDword(reader.name, reader.stored);
    EXPECT_EQ(reader.readAs, reader.read()) << Narrow(reader.name) << " = " << reader.stored;
  }
  EXPECT_TRUE(log.Lines().empty());
}

// A missing key, a missing value and a value of the wrong type or size all
// give the default; only the flag readers say so in the log.
TEST_F(SettingsTest, UnreadableValuesGiveTheDefault) {
  const DWORD kNoKey = 0xFFFFFFFF;  // in the order below: no key, then the key without values
  const struct {
    const wchar_t* what;
    DWORD type;
    std::vector<BYTE> data;
  } stored[] = {
      {L"no key", kNoKey, {}},
      {L"no value", REG_NONE, {}},
      {L"short REG_SZ", REG_SZ, Bytes(L"1", 4)},  // fits the 4-byte read
      {L"long REG_SZ", REG_SZ, Bytes(L"52428800", 18)},
      {L"2-byte REG_DWORD", REG_DWORD, {0x07, 0x00}},
      {L"8-byte REG_DWORD", REG_DWORD, {0x00, 0x00, 0x40, 0x03, 0, 0, 0, 0}},
  };
  for (const auto& s : stored) {
    if (s.type == REG_NONE) m_key.Create();
    EXPECT_EQ(L"", GetMiniDumpModeText()) << Narrow(s.what);
    for (const SReader& reader : kReaders) {
      SCOPED_TRACE(Narrow(reader.name) + " with " + Narrow(s.what));
      if (!s.data.empty()) m_key.SetBinary(reader.name, s.data, s.type);
      Lines lines;
      {
        CLogCapture log;
        EXPECT_EQ(reader.defaultValue, reader.read());
        lines = log.Lines();
      }
      if (reader.defaultText == nullptr) {
        EXPECT_TRUE(lines.empty());
      } else if (s.type == kNoKey) {
        ExpectFailureLogged(lines, reader, L"Cannot open the registry key: SOFTWARE\\Korlo\\Korlo Tandem.", L"2");
      } else if (s.type == REG_NONE) {
        ASSERT_EQ(1u, lines.size());
        EXPECT_EQ(kLogInfo, lines[0].level);
        EXPECT_EQ(std::wstring(reader.name) + L" registry value is not set. Using default value: " +
                      reader.defaultText,
                  lines[0].text);
      } else {  // the failure text keeps the trailing blank of its first line
        ExpectFailureLogged(lines, reader, L"Cannot read value " + std::wstring(reader.name) + L" ", L"13");
      }
    }
  }
}

TEST_F(SettingsTest, MiniDumpModeTextIsReadAsStored) {
  const struct {
    const wchar_t* what;
    std::wstring text;
    DWORD byteCount;
    DWORD type;
    std::wstring expected;
  } cases[] = {
      {L"REG_EXPAND_SZ, not expanded", L"%TEMP%", 14, REG_EXPAND_SZ, L"%TEMP%"},
      {L"32 characters", std::wstring(32, L'x'), 66, REG_SZ, L""},  // 31 and the NUL fill the buffer
      {L"odd size", std::wstring(L"Normal\0X", 8), 15, REG_SZ, L""},  // NUL and one byte more
      {L"no terminator", L"NormalXX", 12, REG_SZ, L""},
      {L"no data", L"X", 0, REG_SZ, L""},
  };
  CLogCapture log;
  for (const auto& c : cases) {
    SetMiniDumpMode(c.type, c.text, c.byteCount);
    EXPECT_EQ(c.expected, GetMiniDumpModeText()) << Narrow(c.what);
  }
  EXPECT_TRUE(log.Lines().empty());
}

}  // namespace
