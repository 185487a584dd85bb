#include "diag/cabinet.h"

#include "base/exc.h"
#include "base/msg.h"
#include "util/security.h"

#include <fci.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>

namespace diag {
namespace {

// Names the library passes back to the callbacks; none is a real path.
constexpr char kCabinetName[] = "korlo-diagnostics-cabinet";
constexpr char kSourceName[] = "korlo-diagnostics-source";
constexpr char kTempPrefix[] = "korlo-diagnostics-temp-";

const wchar_t* FciErrorText(int oper) {
  switch (oper) {
    case FCIERR_OPEN_SRC: return L"cannot open a source file";
    case FCIERR_READ_SRC: return L"cannot read a source file";
    case FCIERR_ALLOC_FAIL: return L"out of memory";
    case FCIERR_TEMP_FILE: return L"cannot use a temporary file";
    case FCIERR_BAD_COMPR_TYPE: return L"unknown compression type";
    case FCIERR_CAB_FILE: return L"cannot write the cabinet file";
    case FCIERR_USER_ABORT: return L"aborted";
    case FCIERR_MCI_FAIL: return L"the compressor failed";
    default: return L"unknown failure";
  }
}

}  // namespace

std::string ToUtf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
  std::string utf8(static_cast<size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &utf8[0], size, nullptr, nullptr);
  return utf8;
}

// One open "file" of the library: the cabinet, a temporary file or a source.
// The two kinds of file are read and written at the stream's own position.
struct cab_writer_t::SState {
  struct SStream {
    HANDLE file = INVALID_HANDLE_VALUE;
    std::shared_ptr<CFileHandle> temp;  // keeps a temporary file open (and in existence)
    source_t* source = nullptr;
    std::uint64_t position = 0;
  };

  HANDLE target = INVALID_HANDLE_VALUE;
  std::wstring tempPrefix;
  unsigned tempCount = 0;
  std::map<std::string, std::shared_ptr<CFileHandle>> temps;  // the library's name -> the file
  source_t* pending = nullptr;
  FILETIME pendingTime = {};
  bool pendingUtf8 = false;
  DWORD lastError = 0;
  ERF erf = {};
  HFCI fci = nullptr;

  static SState& Of(void* pv) { return *static_cast<SState*>(pv); }
  static SStream& StreamOf(INT_PTR handle) { return *reinterpret_cast<SStream*>(handle); }
  static INT_PTR Handle(SStream* stream) { return reinterpret_cast<INT_PTR>(stream); }

  static FNFCIALLOC(Alloc) { return std::malloc(cb); }
  static FNFCIFREE(Free) { std::free(memory); }

  static FNFCIOPEN(Open) {
    (void)oflag;
    (void)pmode;
    SState& self = Of(pv);
    auto* stream = new (std::nothrow) SStream;
    if (stream == nullptr) return *err = ERROR_NOT_ENOUGH_MEMORY, -1;
    if (std::strcmp(pszFile, kCabinetName) == 0) {
      stream->file = self.target;
      return Handle(stream);
    }
    if (std::strncmp(pszFile, kTempPrefix, sizeof(kTempPrefix) - 1) == 0) {
      std::shared_ptr<CFileHandle>& temp = self.temps[pszFile];
      if (!temp) {
        try {
          util::protected_security_t security;
          const std::wstring path = self.tempPrefix + FromAnsi(pszFile + sizeof(kTempPrefix) - 1) + L".tmp";
          CFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, security.Attributes(),
                                         CREATE_NEW,
                                         FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE |
                                             FILE_FLAG_OPEN_REPARSE_POINT,
                                         nullptr));
          if (!file) {
            self.lastError = *err = static_cast<int>(::GetLastError());
            self.temps.erase(pszFile);
            delete stream;
            return -1;
          }
          temp = std::make_shared<CFileHandle>(std::move(file));
        } catch (const std::exception&) {
          self.temps.erase(pszFile);
          delete stream;
          return *err = ERROR_NOT_ENOUGH_MEMORY, -1;
        } catch (const CExc& e) {
          self.lastError = *err = e.GetCode();
          self.temps.erase(pszFile);
          delete stream;
          return -1;
        }
      }
      stream->temp = temp;
      stream->file = temp->Get();
      return Handle(stream);
    }
    delete stream;
    return *err = ERROR_FILE_NOT_FOUND, -1;
  }

  static FNFCIGETOPENINFO(OpenInfo) {
    SState& self = Of(pv);
    if (std::strcmp(pszName, kSourceName) != 0 || self.pending == nullptr) return *err = ERROR_FILE_NOT_FOUND, -1;
    FILETIME local = {};
    if (!::FileTimeToLocalFileTime(&self.pendingTime, &local) || !::FileTimeToDosDateTime(&local, pdate, ptime)) {
      *pdate = 0x21;  // 1980-01-01
      *ptime = 0;
    }
    *pattribs = FILE_ATTRIBUTE_ARCHIVE | (self.pendingUtf8 ? _A_NAME_IS_UTF : 0);
    auto* stream = new (std::nothrow) SStream;
    if (stream == nullptr) return *err = ERROR_NOT_ENOUGH_MEMORY, -1;
    stream->source = self.pending;
    return Handle(stream);
  }

  static FNFCIREAD(Read) {
    SStream& stream = StreamOf(hf);
    if (stream.source != nullptr) return stream.source->Read(memory, cb);
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(stream.position);
    at.OffsetHigh = static_cast<DWORD>(stream.position >> 32);
    DWORD done = 0;
    if (!::ReadFile(stream.file, memory, cb, &done, &at)) {
      const DWORD error = ::GetLastError();
      if (error != ERROR_HANDLE_EOF) return Of(pv).lastError = *err = static_cast<int>(error), static_cast<UINT>(-1);
      done = 0;
    }
    stream.position += done;
    return done;
  }

  static FNFCIWRITE(Write) {
    SStream& stream = StreamOf(hf);
    if (stream.source != nullptr) return *err = ERROR_ACCESS_DENIED, static_cast<UINT>(-1);
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(stream.position);
    at.OffsetHigh = static_cast<DWORD>(stream.position >> 32);
    DWORD done = 0;
    if (!::WriteFile(stream.file, memory, cb, &done, &at) || done != cb) {
      const DWORD error = ::GetLastError();
      return Of(pv).lastError = *err = static_cast<int>(error ? error : ERROR_WRITE_FAULT), static_cast<UINT>(-1);
    }
    stream.position += done;
    return done;
  }

  static FNFCICLOSE(Close) {
    (void)err;
    (void)pv;
    delete &StreamOf(hf);
    return 0;
  }

  static FNFCISEEK(Seek) {
    SStream& stream = StreamOf(hf);
    std::int64_t base = 0;
    if (seektype == SEEK_CUR) {
      base = static_cast<std::int64_t>(stream.position);
    } else if (seektype == SEEK_END) {
      LARGE_INTEGER size = {};
      if (stream.source != nullptr || !::GetFileSizeEx(stream.file, &size)) return *err = ERROR_SEEK, -1;
      base = size.QuadPart;
    } else if (seektype != SEEK_SET) {
      return *err = ERROR_INVALID_PARAMETER, -1;
    }
    const std::int64_t position = base + dist;
    if (position < 0 || position > 0x7FFFFFFF || (stream.source != nullptr && position != base)) {
      return *err = ERROR_SEEK, -1;
    }
    stream.position = static_cast<std::uint64_t>(position);
    return static_cast<long>(position);
  }

  static FNFCIDELETE(Delete) {
    SState& self = Of(pv);
    const auto temp = self.temps.find(pszFile);
    if (temp == self.temps.end()) return *err = ERROR_FILE_NOT_FOUND, -1;
    self.temps.erase(temp);  // the last handle's close deletes it
    return 0;
  }

  static FNFCIGETTEMPFILE(TempName) {
    SState& self = Of(pv);
    const int length = std::snprintf(pszTempName, static_cast<size_t>(cbTempName), "%s%u", kTempPrefix,
                                     ++self.tempCount);
    return length > 0 && length < cbTempName;
  }

  static FNFCIFILEPLACED(Placed) {
    (void)pccab, (void)pszFile, (void)cbFile, (void)fContinuation, (void)pv;
    return 0;
  }
  static FNFCIGETNEXTCABINET(NextCabinet) {
    (void)pccab, (void)cbPrevCab, (void)pv;
    return FALSE;  // one cabinet: its size limit is never reached
  }
  static FNFCISTATUS(Status) {
    (void)typeStatus, (void)cb1, (void)cb2, (void)pv;
    return 0;
  }

  [[noreturn]] void Throw(const std::wstring& what) const {
    CExc failure(FormatMsg(L"The cabinet library failed: %1 (error %2, %3).", FciErrorText(erf.erfOper),
                           DecText(erf.erfOper), DecText(erf.erfType)),
                 lastError != 0 ? CExc::ToHResult(static_cast<std::int32_t>(lastError)) : E_FAIL);
    failure.AddContext(what);
    throw failure;
  }
};

cab_writer_t::cab_writer_t(HANDLE target, const std::wstring& tempPrefix) : m_state(std::make_unique<SState>()) {
  m_state->target = target;
  m_state->tempPrefix = tempPrefix;
  CCAB cab = {};
  cab.cb = CB_MAX_DISK;
  cab.cbFolderThresh = CB_MAX_DISK;
  cab.iCab = 1;
  cab.setID = 0x4B47;
  std::snprintf(cab.szCab, sizeof(cab.szCab), "%s", kCabinetName);
  m_state->fci = ::FCICreate(&m_state->erf, &SState::Placed, &SState::Alloc, &SState::Free, &SState::Open,
                             &SState::Read, &SState::Write, &SState::Close, &SState::Seek, &SState::Delete,
                             &SState::TempName, &cab, m_state.get());
  if (m_state->fci == nullptr) m_state->Throw(L"Cannot start writing the cabinet.");
}

cab_writer_t::~cab_writer_t() {
  if (m_state->fci != nullptr) ::FCIDestroy(m_state->fci);
}

void cab_writer_t::Add(const std::wstring& name, source_t& source, const FILETIME& time) {
  std::string stored = ToUtf8(name);
  m_state->pendingUtf8 = false;
  for (const char c : stored) m_state->pendingUtf8 = m_state->pendingUtf8 || (c & 0x80) != 0;
  m_state->pending = &source;
  m_state->pendingTime = time;
  char sourceName[sizeof(kSourceName)];
  std::memcpy(sourceName, kSourceName, sizeof(kSourceName));
  const BOOL added = stored.size() < CB_MAX_FILENAME &&
                     ::FCIAddFile(m_state->fci, sourceName, &stored[0], FALSE, &SState::NextCabinet,
                                  &SState::Status, &SState::OpenInfo, tcompTYPE_MSZIP);
  m_state->pending = nullptr;
  if (!added) m_state->Throw(FormatMsg(L"Cannot add [%1] to the cabinet.", name));
}

void cab_writer_t::Finish() {
  if (!::FCIFlushCabinet(m_state->fci, FALSE, &SState::NextCabinet, &SState::Status)) {
    m_state->Throw(L"Cannot write the cabinet.");
  }
}

}  // namespace diag
