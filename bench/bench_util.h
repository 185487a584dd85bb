// Small helpers shared by the benchmark programs.
#pragma once

#include "base/win.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace bench {

inline double NowSeconds() {
  static const double frequency = [] {
    LARGE_INTEGER value;
    ::QueryPerformanceFrequency(&value);
    return static_cast<double>(value.QuadPart);
  }();
  LARGE_INTEGER counter;
  ::QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) / frequency;
}

inline double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// A typical log line's text: 80 characters.
inline std::wstring TypicalText() {
  return L"Plugin KorloVssSupport finished the snapshot step for volume C: in 12345 ms, ok.";
}

// Log text of the kind a service writes, varied from line to line so that
// it compresses like a real log (about 10:1 at level 9), not like one line
// repeated.
class CVariedText {
 public:
  std::wstring Next() {
    static const wchar_t* const kWords[] = {
        L"Plugin", L"KorloVssSupport", L"snapshot", L"volume", L"writer", L"RPC", L"call", L"finished",
        L"started", L"waiting", L"for", L"the", L"backup", L"job", L"status", L"ok", L"session", L"agent",
        L"shadow", L"copy", L"metadata", L"component", L"freeze", L"thaw", L"retry", L"timeout", L"user",
        L"service", L"request", L"reply", L"id", L"step"};
    wchar_t number[32];
    std::wstring text;
    while (text.size() < 71) {
      const unsigned value = NextRandom();
      if (value % 5 == 0) {
        std::swprintf(number, 32, L"%u ", value % 100000);
        text += number;
      } else if (value % 11 == 0) {
        std::swprintf(number, 32, L"[0x%08X] ", value);
        text += number;
      } else {
        text += kWords[value % (sizeof(kWords) / sizeof(kWords[0]))];
        text += L' ';
      }
    }
    text.resize(71);
    std::swprintf(number, 32, L" #%06u.", m_line++ % 1000000);
    return text + number;
  }

 private:
  unsigned NextRandom() {
    m_state = m_state * 1664525u + 1013904223u;
    return m_state >> 8;
  }
  unsigned m_state = 12345;
  unsigned m_line = 0;
};

inline std::wstring Argument(int argc, wchar_t** argv, int index, const wchar_t* fallback) {
  return index < argc ? std::wstring(argv[index]) : std::wstring(fallback);
}

inline void DeleteIfPresent(const std::wstring& path) { ::DeleteFileW(path.c_str()); }

}  // namespace bench
