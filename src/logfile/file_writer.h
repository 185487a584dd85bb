// Log writers that put the lines CLog dispatches into a file.
//
// Lock order: the log lock (taken by CLog before it calls Write), then the
// writer's own lock. Both are recursive: the header a rotating writer writes
// into its emptied file goes through g_log on the same thread while both are
// held. Call the writers through CLog; a direct Write on another thread
// would take the two locks in the wrong order when the file rotates.
#pragma once

#include "log/log.h"
#include "base/handle.h"

#include <cstdint>
#include <memory>
#include <string>

class CBinFile;
class CLogHeaderWriter;

// Formats each line, opens the file on the first line and appends to it.
// When the file is locked by another process it falls back to numbered names
// beside it (base.1.ext ... base.998.ext). A failure costs the line it
// happened on; Write never throws.
class CFileLogWriter : public CLogWriter {
 public:
  explicit CFileLogWriter(bool threadColumn);
  ~CFileLogWriter() override;
  CFileLogWriter(const CFileLogWriter&) = delete;
  CFileLogWriter& operator=(const CFileLogWriter&) = delete;

  // Closes the file and opens it again (the configured name first).
  void Reopen() override;
  void Write(std::int32_t level, CLog& log, std::int32_t alignment, const std::wstring& text) override;
  // The path of the file to open.
  virtual std::wstring GetFilePath() = 0;
  // Whether a new file must be opened before the next line.
  virtual bool NeedNewFile() = 0;
  // Appends the text's UTF-16LE code units (no terminator, no byte-order
  // mark) at the file's position. Called with the writer's lock held.
  virtual void WriteRaw(const std::wstring& text);

  // The path of the file actually open (possibly a numbered fallback name);
  // empty before the first line.
  std::wstring GetCurrentPath();

 protected:
  // Opens GetFilePath() (or the first numbered name that is not locked),
  // positioned at its end. Throws CExc "Unable to retrieve locked logs."
  // (E_FAIL) when all 999 names are locked. Caller holds the writer's lock.
  void OpenFile();
  // Appends bytes to the open file. Caller holds the writer's lock.
  // Virtual so that a test can put the file on a device that fills up.
  virtual void WriteBytes(const void* bytes, std::uint32_t size);
  CBinFile& File() { return *m_file; }

 private:
  std::shared_ptr<CBinFile> m_file;
  std::wstring m_currentPath;
  std::wstring m_line;  // reused for every line; see Write
  bool m_lineClaimed = false;
  CLog::CLogLock m_lock;
  const bool m_threadColumn;
  const DWORD m_shareMode = FILE_SHARE_READ | FILE_SHARE_WRITE;
};

// The service's writer: one live file, folder\name.log. When the file grows
// beyond AgentMaxLogSize its content is compressed into name.log.gz (older
// copies aged up to AgentMaxLogCount), and the same open file starts again
// with the byte-order mark and the header. A failed rotation leaves its error
// text in the live file (when the disk takes it), which then goes on growing
// from a new mark and header; the next attempt comes after another size
// limit of lines.
class CFileLogWriterWithRotation : public CFileLogWriter {
 public:
  // Reads AgentMaxLogSize and AgentMaxLogCount from the registry. The header
  // writer may be null (no header after a rotation).
  CFileLogWriterWithRotation(const std::wstring& folder, const std::wstring& name, bool threadColumn,
                             std::shared_ptr<CLogHeaderWriter> headerWriter);
  ~CFileLogWriterWithRotation() override;

  // folder joined with name + ".log".
  std::wstring GetFilePath() override;
  bool NeedNewFile() override { return false; }
  // Appends the text, counts its bytes and rotates when the file has grown
  // beyond the limit. Called with the writer's lock held.
  void WriteRaw(const std::wstring& text) override;

  std::uint32_t GetMaxSize() const { return m_maxSize; }
  std::uint32_t GetMaxCount() const { return m_maxCount; }

 protected:
  // Creates the file a rotation compresses into (util::CreateGzipFile);
  // virtual so that a test can put it on a device that fills up.
  virtual CFileHandle CreateCompressedFile(const std::wstring& path);

 private:
  void CheckRotation();
  void AppendRotationFailure(const CExc& exc);

  const std::wstring m_folder;
  const std::wstring m_name;
  std::shared_ptr<CLogHeaderWriter> m_headerWriter;
  // Bytes in the live file as far as this writer knows; -1 until read from
  // the file once. 64 bits, so that no limit a DWORD can hold overflows it.
  std::int64_t m_size = -1;
  const std::uint32_t m_maxSize;
  const std::uint32_t m_maxCount;
  bool m_rotating = false;
};
