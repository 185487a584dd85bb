// Checks on thrown CExc objects and on message lines, shared by the test
// programs.
#pragma once

#include "base/exc.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace testing_support {

// Runs f and returns a copy of the exception of type E it throws; a test
// failure (and no value) when it throws nothing. Any other exception passes
// through and fails the test.
template <class E = CExc, class F>
std::optional<E> CatchExc(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e;
  }
  ADD_FAILURE() << "no exception was thrown";
  return std::nullopt;
}

inline bool StartsWith(const std::wstring& text, const std::wstring& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

inline bool EndsWith(const std::wstring& text, const std::wstring& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// A root-cause line such as "Win32 error: <system text> Code: 5". The system
// text depends on the platform and its language and is not compared.
inline bool IsCauseLine(const std::wstring& line, const std::wstring& kind, const std::wstring& code) {
  return StartsWith(line, kind + L" error:") && EndsWith(line, L" Code: " + code);
}

}  // namespace testing_support
