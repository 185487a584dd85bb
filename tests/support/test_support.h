// Shared helpers for the test programs: scratch folders, child processes and
// registry values under a key the test owns.
#pragma once

#include "base/handle.h"
#include "base/win.h"

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

// A fresh, empty folder under the temporary folder, removed (with
// everything in it) on destruction.
class CScratchDir {
 public:
  CScratchDir();
  ~CScratchDir();
  CScratchDir(const CScratchDir&) = delete;
  CScratchDir& operator=(const CScratchDir&) = delete;

  const std::wstring& Path() const { return m_path; }
  std::wstring operator/(const std::wstring& name) const { return m_path + L"\\" + name; }

 private:
  std::wstring m_path;
};

struct SProcessResult {
  DWORD exitCode = 0;
  std::string output;  // stdout and stderr together, as the child wrote them
  bool timedOut = false;
};

// Runs `commandLine` (the program path quoted by the caller when needed),
// collects its output and waits up to timeoutMs; a child that overruns is
// terminated and reported as timed out. `input` is written to its stdin.
SProcessResult RunProcess(const std::wstring& commandLine, DWORD timeoutMs = 60000,
                          const std::wstring& currentFolder = std::wstring(),
                          const std::string& input = std::string());

// Re-launches this test program with only `testName` (Suite.Case) selected
// and KORLO_TEST_CHILD set to `role` in its environment; the child's test
// reads the role with ChildRole().
SProcessResult RunSelfAsChild(const std::string& testName, const std::wstring& role,
                              DWORD timeoutMs = 60000);
// The role given by the parent; empty in a normal run.
std::wstring ChildRole();

// Full path of this test program's folder (where the fixtures are built).
std::wstring ProgramFolder();
// Reads a whole file; empty when it cannot be opened.
std::string ReadFileBytes(const std::wstring& path);
void WriteFileBytes(const std::wstring& path, const std::string& bytes);
// UTF-16LE bytes (an optional byte-order mark skipped) as a wide string.
std::wstring Utf16(const std::string& bytes);
std::string Narrow(const std::wstring& text);  // ASCII-only test text
std::wstring Widen(const std::string& text);

// HKEY_LOCAL_MACHINE of this process redirected, for the object's life, to a
// fresh key the test owns (HKCU\Software\Korlo Tests\<GUID>), deleted with
// everything in it at the end. Code under test that reads or writes machine
// settings then works on the test's copy and never on an installed product's.
// One at a time per process.
class CMachineKeyRedirect {
 public:
  CMachineKeyRedirect();
  ~CMachineKeyRedirect();
  CMachineKeyRedirect(const CMachineKeyRedirect&) = delete;
  CMachineKeyRedirect& operator=(const CMachineKeyRedirect&) = delete;

 private:
  std::wstring m_path;
  CRegKey m_key;
};

// A key under the redirected HKLM (see CMachineKeyRedirect), missing at the
// start; values are written with the types given.
class CTestRegKey {
 public:
  explicit CTestRegKey(const std::wstring& subKey) : m_subKey(subKey) {}

  void Create();  // creates the key (empty)
  void Delete();  // removes the key and everything under it
  void SetDword(const std::wstring& name, DWORD value);
  void SetBinary(const std::wstring& name, const std::vector<BYTE>& data, DWORD type = REG_BINARY);

 private:
  CMachineKeyRedirect m_redirect;
  std::wstring m_subKey;
};

// Splits at "\r\n"; a text that ends with "\r\n" gives no empty last line.
std::vector<std::wstring> SplitLines(const std::wstring& text);
// The lines joined with "\n", for failure messages.
std::string JoinLines(const std::vector<std::wstring>& lines);
// The text of a log line: the part after the level tag and its four blanks,
// alignment blanks kept; the whole line when it has no tag.
std::wstring LogLineText(const std::wstring& line);
// LogLineText of each line of a log's content.
std::vector<std::wstring> LogLineTexts(const std::wstring& content);
// True when a file or folder of that name exists.
bool Exists(const std::wstring& path);
// True when the access list read back from the file or folder lets Everyone,
// Users, Authenticated Users, Interactive, Guests or Anonymous in (or there
// is none, or it cannot be read).
bool OpenToUsers(const std::wstring& path);

// Runs the Unix program /bin/<command> with path's Unix form appended (Wine does
// not wait for it), then up to 5 s until path is listed or not, as `listed`
// says. False outside Wine or when that did not happen.
bool RunOnUnixPath(const std::wstring& command, const std::wstring& path, bool listed);

// The Unix form of the path under Wine; empty elsewhere.
std::wstring UnixName(const std::wstring& path);
// Names of the entries of `dir` that match `mask`, in the system's order.
std::vector<std::wstring> FilesIn(const std::wstring& dir, const std::wstring& mask);

// What a minidump file says of its crash: the "MDMP" signature and, from its
// exception stream, the crashed thread and the exception code.
struct SDumpFacts {
  bool valid = false;
  bool hasException = false;
  DWORD threadId = 0;
  DWORD code = 0;
};
SDumpFacts ReadDump(const std::wstring& path);
// True when `lines` holds exactly `text`.
bool ContainsText(const std::vector<std::wstring>& lines, const std::wstring& text);

// A new GUID text without braces, for names no other test uses.
std::wstring NewGuidText();

}  // namespace testing_support
