// Move-only owners for system resources, one per kind of handle: each is the
// pair "invalid value + close function". Destructors keep GetLastError intact,
// so an owner going out of scope never changes the error a caller is about to
// read.
#pragma once

#include "base/win.h"

#include <utility>

template <class Traits>
class CScopedHandle {
 public:
  using Handle = typename Traits::Handle;

  CScopedHandle() noexcept : m_h(Traits::Invalid()) {}
  explicit CScopedHandle(Handle h) noexcept : m_h(h) {}
  CScopedHandle(CScopedHandle&& other) noexcept : m_h(other.Release()) {}
  CScopedHandle& operator=(CScopedHandle&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  CScopedHandle(const CScopedHandle&) = delete;
  CScopedHandle& operator=(const CScopedHandle&) = delete;
  ~CScopedHandle() { Reset(); }

  Handle Get() const noexcept { return m_h; }
  bool IsValid() const noexcept { return m_h != Traits::Invalid(); }
  explicit operator bool() const noexcept { return IsValid(); }

  Handle Release() noexcept { return std::exchange(m_h, Traits::Invalid()); }
  void Reset(Handle h = Traits::Invalid()) noexcept {
    if (IsValid()) {
      const DWORD error = ::GetLastError();
      Traits::Close(m_h);
      ::SetLastError(error);
    }
    m_h = h;
  }
  // For out-parameters: releases the old value first.
  Handle* Receive() noexcept {
    Reset();
    return &m_h;
  }

 private:
  Handle m_h;
};

struct KernelHandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { ::CloseHandle(h); }
};
struct FileHandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Handle h) { ::CloseHandle(h); }
};
struct FindHandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Handle h) { ::FindClose(h); }
};
struct RegKeyTraits {
  using Handle = HKEY;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { ::RegCloseKey(h); }
};
struct LibraryTraits {
  using Handle = HMODULE;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { ::FreeLibrary(h); }
};
struct LocalMemTraits {
  using Handle = HLOCAL;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { ::LocalFree(h); }
};

struct ScHandleTraits {
  using Handle = SC_HANDLE;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { ::CloseServiceHandle(h); }
};

using CKernelHandle = CScopedHandle<KernelHandleTraits>;
using CFileHandle = CScopedHandle<FileHandleTraits>;
using CFindHandle = CScopedHandle<FindHandleTraits>;
using CRegKey = CScopedHandle<RegKeyTraits>;
using CLibrary = CScopedHandle<LibraryTraits>;
using CLocalMem = CScopedHandle<LocalMemTraits>;
using CScHandle = CScopedHandle<ScHandleTraits>;

// Holds a lock (anything with Lock and Unlock) for the lifetime of a scope.
template <class Lock>
class CLockHold {
 public:
  explicit CLockHold(Lock& lock) : m_lock(lock) { m_lock.Lock(); }
  ~CLockHold() { m_lock.Unlock(); }
  CLockHold(const CLockHold&) = delete;
  CLockHold& operator=(const CLockHold&) = delete;

 private:
  Lock& m_lock;
};
