// The exception family that carries every failure: an ordered list of message
// lines (outermost context first, root cause last) and a code in HRESULT form.
// A layer that wants to say what it was doing catches CExc, calls AddContext
// and rethrows the same object (`throw;`).
#pragma once

#include "base/compat.h"
#include "base/win.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

// Pass as the Win32 code to take GetLastError() at construction.
constexpr DWORD kUseLastError = 0xFFFFFFFF;

class CExc {
 public:
  CExc() = default;
  CExc(const std::wstring& text, std::int32_t code);
  CExc(const std::wstring& format, const std::wstring& a1, std::int32_t code);
  CExc(const std::wstring& format, const std::wstring& a1, const std::wstring& a2, std::int32_t code);
  CExc(const std::wstring& format, const std::wstring& a1, const std::wstring& a2,
       const std::wstring& a3, std::int32_t code);
  virtual ~CExc() = default;

  // A heap copy of the same dynamic type; with Throw, lets a failure caught on
  // one thread be thrown again, with its exact type, on another.
  virtual std::shared_ptr<CExc> Clone() const;
  [[noreturn]] virtual void Throw() const;

  void AddContext(const std::wstring& text);
  void AddContext(UINT id);
  void AddContext(UINT id, const std::wstring& a1);
  void AddContext(UINT id, const std::wstring& a1, const std::wstring& a2);
  void AddContext(UINT id, const std::wstring& a1, const std::wstring& a2, const std::wstring& a3);
  void AddContext(const std::wstring& format, const std::wstring& a1);
  void AddContext(const std::wstring& format, const std::wstring& a1, const std::wstring& a2);
  void AddContext(const std::wstring& format, const std::wstring& a1, const std::wstring& a2,
                  const std::wstring& a3);
  void AddContext(const std::wstring& format, const std::wstring& a1, const std::wstring& a2,
                  const std::wstring& a3, const std::wstring& a4);

  const std::deque<std::wstring>& GetMessages() const { return m_messages; }
  std::int32_t GetCode() const { return m_code; }
  void SetCode(std::int32_t code) { m_code = code; }
  // The lines joined with "\r\n"; one trailing "\r\n" is dropped from each.
  std::wstring GetFullText() const;

  // HRESULT_FROM_WIN32 for positive codes; zero and negative stay as they are.
  static std::int32_t ToHResult(std::int32_t code);

 protected:
  void PushFront(const std::wstring& line) { m_messages.push_front(line); }

 private:
  std::deque<std::wstring> m_messages;
  std::int32_t m_code = 0;
};

class CWin32Exc : public CExc {
 public:
  CWin32Exc();
  explicit CWin32Exc(DWORD code);
  CWin32Exc(const std::wstring& text, DWORD code);
  CWin32Exc(const std::wstring& format, const std::wstring& a1, DWORD code);
  CWin32Exc(UINT id, DWORD code);

  std::shared_ptr<CExc> Clone() const override;
  [[noreturn]] void Throw() const override;

  DWORD GetWin32Error() const { return m_error; }

 private:
  void Init(DWORD code);

  DWORD m_error = 0;
};

// A failure of the file-based lock (a sharing or lock violation), so that
// callers can tell it apart from other Win32 failures.
class CLockFileExc : public CWin32Exc {
 public:
  explicit CLockFileExc(DWORD code);
  CLockFileExc(const std::wstring& text, DWORD code);

  std::shared_ptr<CExc> Clone() const override;
  [[noreturn]] void Throw() const override;
};

class CComExc : public CExc {
 public:
  explicit CComExc(HRESULT hr);
  CComExc(const std::wstring& text, HRESULT hr);
  CComExc(const std::wstring& format, const std::wstring& a1, HRESULT hr);
  CComExc(const std::wstring& format, const std::wstring& a1, const std::wstring& a2, HRESULT hr);
  CComExc(const std::wstring& format, const std::wstring& a1, const std::wstring& a2,
          const std::wstring& a3, HRESULT hr);
  CComExc(const std::wstring& format, const std::wstring& a1, const std::wstring& a2,
          const std::wstring& a3, const std::wstring& a4, HRESULT hr);

  std::shared_ptr<CExc> Clone() const override;
  [[noreturn]] void Throw() const override;

 private:
  void Init(HRESULT hr);
};

class CRpcExc : public CExc {
 public:
  explicit CRpcExc(long status);
  CRpcExc(UINT id, long status);
  CRpcExc(UINT id, const std::wstring& a1, long status);
  CRpcExc(const std::wstring& text, long status);

  std::shared_ptr<CExc> Clone() const override;
  [[noreturn]] void Throw() const override;

  DWORD GetRpcStatus() const { return m_status; }

 private:
  void Init(long status);

  DWORD m_status = 0;
};

// Thrown by value to unwind a working thread once its termination event is
// found signalled.
struct STermExc {};

// The operating system's text for a Win32 code or HRESULT, as returned
// (trailing line break included); empty when the system has none.
// ignoreInserts: "%1" and the like stay in the text instead of failing the
// look-up.
std::wstring GetSystemText(DWORD code, bool ignoreInserts = false);

class _com_error;
// For handlers that catch the COM-support error object: throws a CComExc
// whose text holds the caller's text and the error object's details.
[[noreturn]] void ThrowComError(const std::wstring& text, const _com_error& error);
