// The agent configuration: the name the hosted service presents itself
// under, the plugin libraries to host and the RPC port policy, held as an XML
// document in memory:
//
//   <GuestAgentConfig ServiceName="...">
//     <PluginsCnt><Plugin Path="..."/>...</PluginsCnt>
//     <PortsCfg UseDynPort="true|false" StaticPort="..."/>
//   </GuestAgentConfig>
//
// The document is never read from or written to disk. The path given at
// construction only selects the start document: when a file or folder exists
// there, the built-in default (service "KorloVssSupport", plugin
// "KorloVssSupport.dll", dynamic port); otherwise a blank document.
#pragma once

#include "util/xml.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace cfg {

// The RPC port policy: a dynamic port (the default), or a static one.
class CPortsSettings {
 public:
  static constexpr std::uint16_t kDefaultStaticPort = 2010;

  bool UseDynPort() const { return m_useDynPort; }
  std::uint16_t StaticPort() const { return m_staticPort; }

  void SetStaticPort(std::uint16_t port) {
    m_useDynPort = false;
    m_staticPort = port;
  }
  void SetDefaults() { *this = CPortsSettings(); }

 private:
  bool m_useDynPort = true;
  std::uint16_t m_staticPort = kDefaultStaticPort;
};

// Shared through a shared pointer. COM must be initialised on every calling
// thread (the process uses one multithreaded apartment). The operations may
// be called from several threads; they are serialised internally. Each one
// throws a CExc with its own context line in front of the XML layer's lines.
// The VSS plugin: the plugin of the default document, of the in-memory
// configurations and of the one-shot runs.
inline constexpr wchar_t kVssPluginName[] = L"KorloVssSupport.dll";

class CGuestCfgFile {
 public:
  static constexpr const wchar_t* kFileName = L"KorloAgentConfig.xml";

  // inMemory: always the blank document (the caller fills it). Otherwise
  // the built-in default when something exists at `path` or `persistent`
  // is set, else the blank document. A failure carries the document path.
  CGuestCfgFile(const std::wstring& path, bool inMemory, bool persistent);
  CGuestCfgFile(const CGuestCfgFile&) = delete;
  CGuestCfgFile& operator=(const CGuestCfgFile&) = delete;

  const std::wstring& GetPath() const { return m_path; }

  // False when no name is stored (the stored text is "NONE"); `name` is
  // then left as it was.
  bool GetServiceName(std::wstring& name) const;
  void SetServiceName(const std::wstring& name);

  // Plugin paths as stored, in registration order.
  std::vector<std::wstring> EnumPlugins() const;
  // Appends; a path stored twice is listed twice.
  void AddPlugin(const std::wstring& path);

  CPortsSettings GetPortsSettings() const;
  // Writes UseDynPort, and StaticPort only for a static port (an earlier
  // StaticPort stays when switching back to a dynamic port).
  void SetPortsSettings(const CPortsSettings& settings);

  // Logs the service name, the port policy and the plugins as information
  // entries. Never throws: a failure is logged as an error and ends the
  // summary.
  void LogSummary() const;

  // The document itself, for diagnostics and tests. Changing it bypasses
  // the lock above.
  const CXmlDocument& GetDocument() const { return m_document; }

 private:
  CXmlElement GetRootElement() const;
  CXmlElement GetPluginsElement() const;
  CXmlElement GetPortsElement() const;

  mutable std::mutex m_lock;  // MSXML documents take one caller at a time
  CXmlDocument m_document;
  std::wstring m_path;
};

}  // namespace cfg
