#include "base/com_ptr.h"
#include "base/handle.h"
#include "base/exc.h"
#include "base/msg.h"
#include "base/msg_ids.h"

#include "exc_checks.h"

#include <gtest/gtest.h>

#include <functional>
#include <iterator>
#include <thread>

namespace {

using testing_support::CatchExc;
using testing_support::IsCauseLine;

TEST(ExcTest, CodesAreStoredInHResultForm) {
  const struct {
    std::int32_t given;
    std::uint32_t stored;
  } cases[] = {
      {5, 0x80070005u}, {0x12345, 0x80072345u}, {0, 0}, {static_cast<std::int32_t>(0x80004005u), 0x80004005u},
      {-1, 0xFFFFFFFFu},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.stored, static_cast<std::uint32_t>(CExc(L"x", c.given).GetCode())) << c.given;
  }
}

// Every constructor that takes a code takes the last error for
// kUseLastError, read before anything (loading or formatting the text) can
// change it.
TEST(ExcTest, EveryWin32FormTakesLastErrorForUseLastError) {
  const struct {
    CWin32Exc (*make)();
    const wchar_t* text;  // null: the cause line only
  } cases[] = {
      {[] { return CWin32Exc(); }, nullptr},
      {[] { return CWin32Exc(kUseLastError); }, nullptr},
      {[] { return CWin32Exc(L"text", kUseLastError); }, L"text"},
      {[] { return CWin32Exc(L"Cannot do [%1].", L"it", kUseLastError); }, L"Cannot do [it]."},
      {[] { return CWin32Exc(IDS_LOADING_PLUGIN, kUseLastError); }, L"Loading plugin [%1]."},  // not formatted
      {[] { return CWin32Exc(CLockFileExc(kUseLastError)); }, nullptr},
      {[] { return CWin32Exc(CLockFileExc(L"text", kUseLastError)); }, L"text"},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    ::SetLastError(ERROR_ACCESS_DENIED);
    const CWin32Exc e = cases[i].make();
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), e.GetWin32Error()) << i;
    EXPECT_EQ(static_cast<std::int32_t>(0x80070005u), e.GetCode()) << i;
    ASSERT_EQ(cases[i].text ? 2u : 1u, e.GetMessages().size()) << i;
    if (cases[i].text) {
      EXPECT_EQ(cases[i].text, e.GetMessages()[0]) << i;
    }
    // Error 5 has a system text: it stands between the prefix and the code.
    EXPECT_TRUE(IsCauseLine(e.GetMessages().back(), L"Win32", L"5")) << i;
    EXPECT_GT(e.GetMessages().back().size(), std::wstring(L"Win32 error: Code: 5").size()) << i;
  }
  EXPECT_EQ(2u, CWin32Exc(L"msg", 2).GetWin32Error());  // an explicit code wins over the last error
}

// The RPC cause line and status are checked on a real RPC failure in the
// endpoint test.
TEST(ExcTest, ComCauseLines) {
  CComExc com(L"Cannot open [%1].", L"doc", E_NOINTERFACE);
  EXPECT_EQ(static_cast<std::int32_t>(E_NOINTERFACE), com.GetCode());
  ASSERT_EQ(2u, com.GetMessages().size());
  EXPECT_EQ(L"Cannot open [doc].", com.GetMessages()[0]);
  EXPECT_EQ(L"COM error:  Code: 0x80004002", com.GetMessages()[1]);  // no error object: empty description

  CComPtr<ICreateErrorInfo> create;
  ASSERT_EQ(S_OK, ::CreateErrorInfo(create.Receive()));
  create->SetDescription(const_cast<LPOLESTR>(L"broken thing"));
  CComPtr<IErrorInfo> info;
  ASSERT_EQ(S_OK, create->QueryInterface(IID_IErrorInfo, info.ReceiveVoid()));
  ::SetErrorInfo(0, info.Get());
  EXPECT_EQ(L"COM error: broken thing Code: 0x80004005", CComExc(E_FAIL).GetMessages()[0]);
  EXPECT_EQ(S_FALSE, ::GetErrorInfo(0, info.Receive()));  // reading the description consumed it
}

TEST(ExcTest, AddContextPutsOneLineInFrontAndFullTextJoinsThem) {
  CExc e(L"root", E_FAIL);
  e.AddContext(L"plain");
  e.AddContext(IDS_LOADING_PLUGIN, L"a.dll");
  e.AddContext(L"%2 and %1", L"x", L"y");
  e.AddContext(IDS_AGENT_STOPPED);
  EXPECT_EQ((std::deque<std::wstring>{L"Agent stopped.", L"y and x", L"Loading plugin [a.dll].", L"plain", L"root"}),
            e.GetMessages());
  EXPECT_EQ(static_cast<std::int32_t>(E_FAIL), e.GetCode());

  // The full text drops one line break per line.
  e.AddContext(L"first\r\n");
  EXPECT_EQ(L"first\r\nAgent stopped.\r\ny and x\r\nLoading plugin [a.dll].\r\nplain\r\nroot", e.GetFullText());
  CExc twice(L"line\r\n\r\n", E_FAIL);
  EXPECT_EQ(L"line\r\n", twice.GetFullText());
  EXPECT_EQ(L"", CExc().GetFullText());
}

// A failure caught on one thread is stored with Clone and thrown again, with
// its exact type and content, on another.
TEST(ExcTest, CloneAndThrowCarryTheFailureAcrossThreads) {
  std::shared_ptr<CExc> stored;
  std::thread worker([&] {
    try {
      CLockFileExc e(L"locked", ERROR_SHARING_VIOLATION);
      e.AddContext(L"context");
      throw e;
    } catch (const CExc& e) {
      stored = e.Clone();
    }
  });
  worker.join();
  ASSERT_TRUE(stored);
  const auto e = CatchExc<CLockFileExc>([&] { stored->Throw(); });
  ASSERT_TRUE(e);
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), e->GetWin32Error());
  EXPECT_EQ(static_cast<std::int32_t>(0x80070020u), e->GetCode());
  ASSERT_EQ(3u, e->GetMessages().size());
  EXPECT_EQ(L"context", e->GetMessages()[0]);
  EXPECT_EQ(L"locked", e->GetMessages()[1]);

  const std::shared_ptr<CExc> clones[] = {CExc(L"a", 1).Clone(), CWin32Exc(5u).Clone(), CComExc(E_FAIL).Clone(),
                                          CRpcExc(1722).Clone()};
  int caught = 0;
  try { clones[1]->Throw(); } catch (const CLockFileExc&) { ADD_FAILURE(); } catch (const CWin32Exc&) { ++caught; }
  try { clones[2]->Throw(); } catch (const CComExc&) { ++caught; }
  try { clones[3]->Throw(); } catch (const CRpcExc&) { ++caught; }
  try { clones[0]->Throw(); } catch (const CWin32Exc&) { ADD_FAILURE(); } catch (const CExc&) { ++caught; }
  EXPECT_EQ(4, caught);
}

TEST(MsgTest, FormatMsgPlaceholders) {
  const struct {
    const wchar_t* format;
    const wchar_t* expected;
  } cases[] = {
      {L"%1-%2-%3", L"a-b-%3"},          // placeholder beyond the arguments stays visible
      {L"%2%1%2", L"bab"},               // any order, repeated
      {L"%0 and %7", L"%0 and %7"},      // out of range
      {L"100% sure", L"100% sure"},      // no number after '%'
      {L"%%1", L"%a"},                   // lone '%', then a placeholder
      {L"%01", L"a"},                    // a decimal number with a leading zero
      {L"% 2", L"b"},                    // wcstol skips leading blanks
      {L"%-1", L"%-1"},                  // negative numbers stay visible
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.expected, FormatMsg(c.format, L"a", L"b")) << c.format;
  }
  EXPECT_EQ(L"1 2 3 4 5", FormatMsg(L"%1 %2 %3 %4 %5", L"1", L"2", L"3", L"4", L"5"));
}

TEST(MsgTest, LoadMsgReadsTheStringTableExactly) {
  bool loaded = false;
  EXPECT_EQ(L"Loading plugin [%1].", LoadMsg(112, &loaded));
  EXPECT_TRUE(loaded);
  const std::wstring missing = LoadMsg(150, &loaded);
  EXPECT_FALSE(loaded);
  EXPECT_EQ(L"Cannot load a string from the strings table. String ID: 150Arguments: %1, %2, %3, %4.", missing);
  CExc e(L"root", E_FAIL);
  e.AddContext(150, L"x", L"y");
  EXPECT_EQ(L"Cannot load a string from the strings table. String ID: 150Arguments: x, y, %3, %4.",
            e.GetMessages()[0]);
}

TEST(MsgTest, ValueFormattersAndParser) {
  EXPECT_EQ(L"0xabc", HexText(0xABC));
  EXPECT_EQ(L"0x80070005", HexText(0x80070005u));
  EXPECT_EQ(L"-5", DecText(-5));
  EXPECT_EQ(L"18446744073709551615", UInt64Text(~0ull));

  EXPECT_EQ(12, ParseInt(L" 12ab"));
  EXPECT_EQ(-7, ParseInt(L"-7"));
  const auto e = CatchExc([] { ParseInt(L"abc"); });
  ASSERT_TRUE(e);
  EXPECT_EQ(L"Cannot unserialize a string value to integer. String: [abc].", e->GetFullText());
  EXPECT_EQ(static_cast<std::int32_t>(E_FAIL), e->GetCode());
  EXPECT_THROW(ParseInt(L""), CExc);
}

// An owner that releases its resource keeps the caller's last error, even
// when the release itself fails and sets one: handles that are none.
TEST(OwnerTest, ReleasingKeepsTheLastError) {
  struct CFake : IUnknown {  // a COM object whose Release sets the last error
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override {
      ::SetLastError(ERROR_GEN_FAILURE);
      return 1;
    }
  } fake;
  const HANDLE bogus = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7FFFFF00));
  const std::function<void()> releases[] = {
      [&] { CKernelHandle owner(bogus); },
      [&] { CLibrary(reinterpret_cast<HMODULE>(bogus)).Reset(); },
      [&] { CKernelHandle(bogus).Receive(); },
      [&] { CComPtr<IUnknown>::Attach(&fake); },
      [&] { CComPtr<IUnknown>::Attach(&fake).Receive(); },
  };
  for (size_t i = 0; i < std::size(releases); ++i) {
    ::SetLastError(0x20000042);
    releases[i]();
    EXPECT_EQ(0x20000042u, ::GetLastError()) << i;
  }
}

}  // namespace
