// Dump generators: the interface the crash handler calls, the naming and
// retention of the dump files the in-process generators share, the
// in-process minidump writer and the text report (legacy format).
#pragma once

#include "base/win.h"

#include <cstddef>
#include <string>

namespace crash {
namespace win32 {

// Stores what it can about one crash. Generators are created at crash time,
// on the crashed thread, and handed out in shared pointers.
class dump_gen_base_t {
 public:
  virtual ~dump_gen_base_t() = default;
  // Writes into folder, naming the file after prefix. Throws CExc.
  virtual void Generate(const std::wstring& folder, const std::wstring& prefix, EXCEPTION_POINTERS* pointers) = 0;
};

// Files of one prefix and extension that may stand in a dump folder once
// the new one is written.
constexpr std::size_t MaxStoredDumps = 20;
// Highest identifier plus one.
constexpr unsigned kDumpIdentifiers = 10000;

// Full path of the next "<prefix>_crash_<id>.<extension>" in folder. A
// missing folder is created for administrators only; an existing one keeps
// its access list (it may be the program's folder, or one whose list cannot
// be changed at all). The oldest numbered files of that prefix and extension are
// deleted until fewer than MaxStoredDumps remain; the lowest free identifier
// is taken. The dump recorder's files are left alone. Nothing is locked
// between choosing the name and creating the file. Throws CExc.
std::wstring NextDumpPath(const std::wstring& prefix, const std::wstring& folder, const std::wstring& extension);
// Deletes the oldest of the dump recorder's files of prefix in folder
// ("<prefix>_crash__<pid>_<tid>_<time>.mdmp") until the newest
// MaxStoredDumps remain. Throws CExc.
void RemoveOldRecorderDumps(const std::wstring& folder, const std::wstring& prefix);

// Writes a minidump of the own process (MiniDumpNormal) from the crashed
// thread into a new file made for administrators only. dbghelp.dll (the
// system folder's, LoadSystemDbgHelp) stays loaded for the life of the
// process. When MiniDumpWriteDump fails and leaves the file empty, the file
// is deleted (through its handle): an empty file is no dump, and would count
// as one in the retention; a partly written one stays.
class minidump_gen_t : public dump_gen_base_t {
 public:
  using WriteDumpFn = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, int, const void*, const void*, const void*);

  // Throws CExc when the library or MiniDumpWriteDump is missing.
  minidump_gen_t();
  // Writes through writeDump (same contract as MiniDumpWriteDump) instead:
  // for tests of a writer that fails.
  explicit minidump_gen_t(WriteDumpFn writeDump) : m_writeDump(writeDump) {}
  void Generate(const std::wstring& folder, const std::wstring& prefix, EXCEPTION_POINTERS* pointers) override;

 private:
  HMODULE m_dbghelp = nullptr;
  WriteDumpFn m_writeDump = nullptr;
};

// Writes the text crash report ("<prefix>_crash_<id>.log").
class legacy_dump_gen_t : public dump_gen_base_t {
 public:
  void Generate(const std::wstring& folder, const std::wstring& prefix, EXCEPTION_POINTERS* pointers) override;
};

}  // namespace win32
}  // namespace crash
