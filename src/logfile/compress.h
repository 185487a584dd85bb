// Compression of the live log and the series of aged gzip copies beside it.
//
// For a live log folder\name.log the newest copy is folder\name.log.gz (age
// 0), the older ones folder\name.1.log.gz ... folder\name.K.log.gz, K being
// the maximum count. Everything here runs on the thread that writes the log
// line that crossed the size limit, under the log's and the writer's locks;
// nothing here takes a lock of its own.
#pragma once

#include "base/handle.h"

#include <cstdint>
#include <functional>
#include <string>

class CBinFile;
struct gzFile_s;

namespace util {

// One gzip file being written.
class zip_writer_t {
 public:
  // Creates path for writing at the given zlib level (0..9), with the
  // administrators-only access list whatever its folder passes on. A file
  // of that name is deleted first; a link of that name (checked by path
  // before anything is opened) is refused. Throws CWin32Exc with "Failed
  // open gz file %1" in front when the file cannot be created.
  zip_writer_t(const std::wstring& path, int level);
  // Writes into a file the caller opened for writing (named path in
  // messages); the writer owns it from here on.
  zip_writer_t(CFileHandle file, const std::wstring& path, int level);
  // Closes the file when Finish was not called; a failure is swallowed.
  ~zip_writer_t();
  zip_writer_t(const zip_writer_t&) = delete;
  zip_writer_t& operator=(const zip_writer_t&) = delete;

  // Compresses count bytes. Throws CExc "Failed to compress data" /
  // "zlib error: %1" (E_FAIL) when zlib reports an error.
  void Write(const void* buffer, std::uint32_t count);
  // Completes the gzip stream, closes the file and flushes it to disk, so
  // that a power loss after a rename that follows cannot leave a named copy
  // without its data; throws when the last block cannot be written or the
  // flush fails. Only the first call does anything.
  void Finish();

  const std::wstring& GetPath() const { return m_path; }

 private:
  void Open(CFileHandle file, int level);

  std::wstring m_path;
  gzFile_s* m_file = nullptr;
  CFileHandle m_flushHandle;  // a duplicate: zlib closes its own with the stream
};

// Creates the file a zip_writer_t(path, level) writes into, as that
// constructor describes; the caller owns the handle (write access only).
// Throws CWin32Exc with "Failed open gz file %1" in front.
CFileHandle CreateGzipFile(const std::wstring& path);

}  // namespace util

// Compresses the whole content of the open live file at level 9 into
// logPath + ".gz.part", then ages the compressed copies of logPath
// (dropping the oldest beyond maxCount), renames the new one to
// logPath + ".gz" and empties the live file. So a rotation that fails, or
// a process that dies during one, leaves the series whole: every copy in it
// is a complete gzip file, no copy is aged for a compression that did not
// complete, and the live file keeps its content until the copy holding it
// has its name. maxCount is the registry's DWORD taken as a signed age
// limit: 0x80000000 and above age nothing, and the newest copy is replaced.
// Throws CExc with "Unable to validate log size limit. Log path: [%1]." in
// front; the partial file is deleted first.
// createPart, when given, creates the ".part" file in place of
// util::CreateGzipFile (the rotating writer's hook for a disk that fills up).
void ValidateLogSizeLimit(CBinFile& file, const std::wstring& logPath, std::uint32_t maxCount,
                          const std::function<CFileHandle(const std::wstring&)>& createPart = nullptr);

// Streams the whole file, from its beginning, through one 1 MiB buffer into
// the writer, completes the gzip stream, runs placeCompressed (when given),
// then truncates the file to zero and leaves its position at the beginning.
// Memory use does not depend on the size of the file. Throws CExc with
// "Cannot compress log file. Log: [%1]." in front; on failure the file is
// not emptied.
void CompressLogFile(CBinFile& file, util::zip_writer_t& writer,
                     const std::function<void()>& placeCompressed = nullptr);

// Shifts the aged copies of path one age up, from the oldest down: the copy
// at age `limit` is deleted, every younger one is moved to the next age.
// A negative limit does nothing. The copies are found by one search of the
// folder, so the cost follows the copies that exist, not the limit. Throws
// CExc with "Cannot age file. ..." in front; moves already done stay done.
void AgeFile(const std::wstring& path, const std::wstring& extension, std::int32_t limit);

// The name of path at the given age; extension is given with its dot
// (".log.gz"). Age 0 is path itself; folder\name.log.gz at age 3 is
// folder\name.3.log.gz.
std::wstring GetAgedFileName(const std::wstring& path, const std::wstring& extension, std::int32_t age);
