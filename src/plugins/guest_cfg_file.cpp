#include "plugins/guest_cfg_file.h"

#include "log/log.h"
#include "base/exc.h"
#include "util/file.h"
#include "base/msg.h"
#include "base/msg_ids.h"

#include <limits>
#include <utility>

namespace cfg {

namespace {

const wchar_t kRootTag[] = L"GuestAgentConfig";
const wchar_t kPluginsTag[] = L"PluginsCnt";
const wchar_t kPluginTag[] = L"Plugin";
const wchar_t kPortsTag[] = L"PortsCfg";
const wchar_t kServiceNameAttr[] = L"ServiceName";
const wchar_t kPathAttr[] = L"Path";
const wchar_t kUseDynPortAttr[] = L"UseDynPort";
const wchar_t kStaticPortAttr[] = L"StaticPort";
// Stored as the service name when there is none.
const wchar_t kNoServiceName[] = L"NONE";

std::wstring DefaultDocument() {
  return std::wstring(L"<GuestAgentConfig ServiceName=\"KorloVssSupport\"><PluginsCnt><Plugin Path=\"") +
         kVssPluginName + L"\"/></PluginsCnt><PortsCfg UseDynPort=\"true\"/></GuestAgentConfig>";
}

void WritePorts(const CXmlElement& ports, const CPortsSettings& settings) {
  SetBoolAttribute(ports, kUseDynPortAttr, settings.UseDynPort());
  if (!settings.UseDynPort()) SetIntAttribute(ports, kStaticPortAttr, settings.StaticPort());
}

CXmlDocument MakeBlankDocument() {
  const CXmlDocument document = CreateXmlDocument();
  const CXmlElement root = CreateChildElement(GetDocumentNode(document), kRootTag);
  SetAttributeText(root, kServiceNameAttr, kNoServiceName);
  CreateChildElement(root, kPluginsTag);
  WritePorts(CreateChildElement(root, kPortsTag), CPortsSettings());
  return document;
}

CXmlDocument MakeStartDocument(const std::wstring& path, bool inMemory, bool persistent) {
  try {
    if (!inMemory && (FileExists(path) || persistent)) return ParseXmlString(DefaultDocument(), false);
    return MakeBlankDocument();
  } catch (CExc& e) {
    e.AddContext(L"Cannot initialize agent's configuration document. Document path: [%1].", path);
    throw;
  }
}

}  // namespace

CGuestCfgFile::CGuestCfgFile(const std::wstring& path, bool inMemory, bool persistent)
    : m_document(MakeStartDocument(path, inMemory, persistent)), m_path(path) {}

CXmlElement CGuestCfgFile::GetRootElement() const {
  return GetChildElement(GetDocumentNode(m_document), kRootTag);
}

CXmlElement CGuestCfgFile::GetPluginsElement() const {
  try {
    return GetChildElement(GetRootElement(), kPluginsTag);
  } catch (CExc& e) {
    e.AddContext(L"XML element containing a plugins list is unavailable.");
    throw;
  }
}

CXmlElement CGuestCfgFile::GetPortsElement() const {
  try {
    return GetChildElement(GetRootElement(), kPortsTag);
  } catch (CExc& e) {
    e.AddContext(L"Cannot obtain a reference to the ports settings section of the configuration document.");
    throw;
  }
}

bool CGuestCfgFile::GetServiceName(std::wstring& name) const {
  std::lock_guard<std::mutex> hold(m_lock);
  try {
    std::wstring stored = GetAttributeText(GetRootElement(), kServiceNameAttr);
    if (stored == kNoServiceName) return false;
    name = std::move(stored);
    return true;
  } catch (CExc& e) {
    e.AddContext(L"Cannot obtain the name of service as it stored in the agent's configuration document.");
    throw;
  }
}

void CGuestCfgFile::SetServiceName(const std::wstring& name) {
  std::lock_guard<std::mutex> hold(m_lock);
  try {
    SetAttributeText(GetRootElement(), kServiceNameAttr, name);
  } catch (CExc& e) {
    e.AddContext(L"Cannot store the service name in the agent's configuration document. Service name: [%1].", name);
    throw;
  }
}

std::vector<std::wstring> CGuestCfgFile::EnumPlugins() const {
  std::lock_guard<std::mutex> hold(m_lock);
  try {
    std::vector<std::wstring> paths;
    for (const CXmlElement& plugin : GetChildElements(GetPluginsElement(), kPluginTag)) {
      paths.push_back(GetAttributeText(plugin, kPathAttr));
    }
    return paths;
  } catch (CExc& e) {
    e.AddContext(L"Cannot enumerate plugins registered in the guest agent's configuration.");
    throw;
  }
}

void CGuestCfgFile::AddPlugin(const std::wstring& path) {
  std::lock_guard<std::mutex> hold(m_lock);
  try {
    SetAttributeText(CreateChildElement(GetPluginsElement(), kPluginTag), kPathAttr, path);
  } catch (CExc& e) {
    e.AddContext(L"Cannot store  a plugin's relative path in the guest agent's configuration document.");
    throw;
  }
}

CPortsSettings CGuestCfgFile::GetPortsSettings() const {
  std::lock_guard<std::mutex> hold(m_lock);
  try {
    const CXmlElement ports = GetPortsElement();
    CPortsSettings settings;
    if (!GetBoolAttribute(ports, kUseDynPortAttr)) {
      const long port = GetIntAttribute(ports, kStaticPortAttr);
      if (port < 0 || port > std::numeric_limits<std::uint16_t>::max()) {
        throw CExc(L"The static port is out of range. Port: [%1].", DecText(port), E_INVALIDARG);
      }
      settings.SetStaticPort(static_cast<std::uint16_t>(port));
    }
    return settings;
  } catch (CExc& e) {
    e.AddContext(L"Cannot unserialize the ports usage settings.");
    throw;
  }
}

void CGuestCfgFile::SetPortsSettings(const CPortsSettings& settings) {
  std::lock_guard<std::mutex> hold(m_lock);
  try {
    WritePorts(GetPortsElement(), settings);
  } catch (CExc& e) {
    e.AddContext(L"Cannot serialize the ports usage settings.");
    throw;
  }
}

void CGuestCfgFile::LogSummary() const {
  try {
    g_log.Info(LoadMsg(IDS_SERVICE_CONFIGURATION));
    g_log.Info(L"{");
    {
      CLogIndent indent(g_log);
      std::wstring name;
      g_log.Info(LoadMsg(IDS_SERVICE_NAME), GetServiceName(name) ? name : std::wstring(kNoServiceName));

      const CPortsSettings ports = GetPortsSettings();
      if (ports.UseDynPort()) {
        g_log.Info(LoadMsg(IDS_DYNAMIC_PORT_USED));
      } else {
        g_log.Info(LoadMsg(IDS_STATIC_PORT_USED), DecText(ports.StaticPort()));
      }

      g_log.Info(LoadMsg(IDS_PLUGINS_TO_HOST));
      const std::vector<std::wstring> plugins = EnumPlugins();
      g_log.Info(L"{");
      {
        CLogIndent pluginsIndent(g_log);
        for (const std::wstring& plugin : plugins) g_log.Info(plugin);
      }
      g_log.Info(L"}");
    }
    g_log.Info(L"}");
  } catch (const CExc& e) {
    g_log.Error(e.GetFullText());
  }
}

}  // namespace cfg
