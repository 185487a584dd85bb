// Reference-counted owner of one COM interface pointer. Copies share the
// object (AddRef); the last owner releases it. Like the handle owners, it
// keeps GetLastError intact when it releases.
#pragma once

#include "base/win.h"

#include <objbase.h>
#include <unknwn.h>

#include <cstddef>
#include <type_traits>
#include <utility>

template <class T>
class CComPtr {
 public:
  CComPtr() noexcept = default;
  CComPtr(std::nullptr_t) noexcept {}
  CComPtr(const CComPtr& other) noexcept : m_p(other.m_p) { AddRef(); }
  CComPtr(CComPtr&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
  // From a derived interface (an element is also a node).
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  CComPtr(const CComPtr<U>& other) noexcept : m_p(other.Get()) { AddRef(); }
  CComPtr& operator=(CComPtr other) noexcept {
    std::swap(m_p, other.m_p);
    return *this;
  }
  ~CComPtr() { Reset(); }

  // Takes over a reference the caller already holds (no AddRef).
  static CComPtr Attach(T* p) noexcept {
    CComPtr result;
    result.m_p = p;
    return result;
  }

  T* Get() const noexcept { return m_p; }
  T* operator->() const noexcept { return m_p; }
  explicit operator bool() const noexcept { return m_p != nullptr; }

  void Reset() noexcept {
    if (T* p = std::exchange(m_p, nullptr)) {
      const DWORD error = ::GetLastError();
      p->Release();
      ::SetLastError(error);
    }
  }
  // For out-parameters: releases the old value first.
  T** Receive() noexcept {
    Reset();
    return &m_p;
  }
  void** ReceiveVoid() noexcept { return reinterpret_cast<void**>(Receive()); }

 private:
  void AddRef() noexcept {
    if (m_p) m_p->AddRef();
  }

  T* m_p = nullptr;
};

// Joins the calling thread to the process's multithreaded apartment for the
// guard's lifetime. Declared before any COM pointer, so COM is torn down last.
class CComInit {
 public:
  CComInit() noexcept : m_hr(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
  ~CComInit() {
    if (SUCCEEDED(m_hr)) ::CoUninitialize();
  }
  CComInit(const CComInit&) = delete;
  CComInit& operator=(const CComInit&) = delete;

  HRESULT Result() const noexcept { return m_hr; }

 private:
  HRESULT m_hr;
};
