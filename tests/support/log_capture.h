// Collects the lines g_log writes while a CLogCapture is alive, for tests
// that check what was logged. The previous writer is put back afterwards.
#pragma once

#include "log/log.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace testing_support {

class CLogCapture {
 public:
  struct SLine {
    std::int32_t level;
    std::int32_t alignment;
    std::wstring text;
  };

  CLogCapture() : m_previous(g_log.GetWriter()) { g_log.SetWriter(m_writer); }
  ~CLogCapture() { g_log.SetWriter(m_previous); }
  CLogCapture(const CLogCapture&) = delete;
  CLogCapture& operator=(const CLogCapture&) = delete;

  std::vector<SLine> Lines() const { return m_writer->Lines(); }
  // True when some line at `level` is exactly `text`.
  bool Contains(std::int32_t level, const std::wstring& text) const {
    for (const auto& line : Lines()) {
      if (line.level == level && line.text == text) return true;
    }
    return false;
  }

 private:
  class CWriter : public CLogWriter {
   public:
    void Reopen() override {}
    void Write(std::int32_t level, CLog&, std::int32_t alignment, const std::wstring& text) override {
      std::lock_guard<std::mutex> hold(m_mutex);
      m_lines.push_back({level, alignment, text});
    }
    std::vector<SLine> Lines() {
      std::lock_guard<std::mutex> hold(m_mutex);
      return m_lines;
    }

   private:
    std::mutex m_mutex;
    std::vector<SLine> m_lines;
  };

  std::shared_ptr<CWriter> m_writer = std::make_shared<CWriter>();
  std::shared_ptr<CLogWriter> m_previous;
};

}  // namespace testing_support
