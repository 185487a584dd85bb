// One cabinet file written through the system's cabinet library (the File
// Compression Interface of cabinet.dll): MSZIP, one folder, never spanning
// several cabinets.
//
// The library reaches every file through callbacks: the cabinet itself is a
// file the caller has created (so it carries the caller's access list and
// was never there before), the sources are read through source_t, and the
// library's temporary files are created beside the cabinet, administrators
// only, and deleted when they are closed (also when the process dies).
#pragma once

#include "base/handle.h"
#include "base/win.h"

#include <cstdint>
#include <memory>
#include <string>

namespace diag {

// UTF-8 of the text.
std::string ToUtf8(const std::wstring& text);

// What one file of the cabinet is read from, front to back.
class source_t {
 public:
  virtual ~source_t() = default;
  // Up to size bytes; 0 at the end. Never throws: a source that fails ends
  // early and keeps the reason for its caller.
  virtual DWORD Read(void* buffer, DWORD size) = 0;
};

// Used by one thread; the library calls back on it.
class cab_writer_t {
 public:
  // target: an open, empty file with read, write and seek access; it stays
  // the caller's. tempPrefix: the path prefix of the temporary files.
  // Throws CExc when the library cannot start.
  cab_writer_t(HANDLE target, const std::wstring& tempPrefix);
  ~cab_writer_t();
  cab_writer_t(const cab_writer_t&) = delete;
  cab_writer_t& operator=(const cab_writer_t&) = delete;

  // Adds the source under name (folders separated by "\"; stored as UTF-8
  // when it is not plain ASCII) with the time as its date. Throws CExc
  // naming the file when the library fails; the cabinet is then unusable.
  void Add(const std::wstring& name, source_t& source, const FILETIME& time);
  // Writes the cabinet out. Throws CExc.
  void Finish();

 private:
  struct SState;
  std::unique_ptr<SState> m_state;
};

}  // namespace diag
