#include "firewall/firewall.h"

#include "base/bstr.h"
#include "base/com_ptr.h"
#include "base/compat.h"
#include "base/exc.h"
#include "base/msg.h"
#include "base/win.h"
#include "log/log.h"

#include <oleauto.h>
#include <comdef.h>
#include <netfw.h>

namespace {

constexpr CLSID kClsidNetFwPolicy2 = {0xE2B3C97F, 0x6AE1, 0x41AC, {0x81, 0x7A, 0xF6, 0xF9, 0x21, 0x66, 0xD7, 0xDD}};
constexpr CLSID kClsidNetFwRule = {0x2C5BC43E, 0x3369, 0x4C33, {0xAB, 0x0C, 0xBE, 0x94, 0x69, 0x67, 0x7A, 0xF4}};
constexpr CLSID kClsidNetFwMgr = {0x304CE942, 0x6E39, 0x40D8, {0x94, 0x3A, 0xB9, 0x13, 0xC4, 0x0C, 0x9C, 0xD4}};
constexpr CLSID kClsidNetFwAuthorizedApplication = {
    0xEC9846B3, 0x2762, 0x4A6B, {0xA2, 0x14, 0x6A, 0xCB, 0x60, 0x34, 0x62, 0xD2}};

// Profiles of the per-profile firewall, in the order they are updated.
constexpr NET_FW_PROFILE_TYPE kProfiles[] = {NET_FW_PROFILE_DOMAIN, NET_FW_PROFILE_STANDARD, NET_FW_PROFILE_CURRENT};

const wchar_t kCannotCreate[] = L"Cannot create instance of the class [%1].";
const wchar_t kAdding[] = L"Adding application to the exceptions list.";

void Check(HRESULT hr, const std::wstring& message) {
  if (FAILED(hr)) throw CComExc(message, hr);
}

// A call that reports success without handing out the object has failed too.
template <class T>
HRESULT ResultOf(HRESULT hr, const CComPtr<T>& out) {
  return SUCCEEDED(hr) && !out ? E_POINTER : hr;
}

template <class T>
CComPtr<T> Create(const CLSID& clsid, const wchar_t* className) {
  CComPtr<T> object;
  const HRESULT hr =
      ResultOf(::CoCreateInstance(clsid, nullptr, CLSCTX_ALL, __uuidof(T), object.ReceiveVoid()), object);
  if (FAILED(hr)) throw CComExc(kCannotCreate, className, hr);
  return object;
}

CComPtr<INetFwRules> GetRules(bool adding) {
  const CComPtr<INetFwPolicy2> policy = Create<INetFwPolicy2>(kClsidNetFwPolicy2, L"ptrFwPolicy");
  if (adding) g_log.Message(kAdding);
  CComPtr<INetFwRules> rules;
  Check(ResultOf(policy->get_Rules(rules.Receive()), rules), L"Unable to get firewall rules list.");
  return rules;
}

// The rule of that name, or null when the collection has none.
CComPtr<INetFwRule> FindRule(INetFwRules& rules, const CBstr& ruleName) {
  CComPtr<INetFwRule> rule;
  if (FAILED(rules.Item(ruleName.Get(), rule.Receive()))) rule.Reset();
  return rule;
}

void SetRuleProperty(HRESULT hr, const wchar_t* property) {
  if (FAILED(hr)) throw CComExc(L"Cannot set rule property. Property name: [%1]", property, hr);
}

void AddRule(const std::wstring& name, const std::wstring& path) {
  const CComPtr<INetFwRules> rules = GetRules(true);
  const CBstr ruleName(name + L" (In)");
  if (const CComPtr<INetFwRule> existing = FindRule(*rules.Get(), ruleName)) {
    Check(existing->put_Enabled(VARIANT_TRUE), L"Failed to enable rule.");
    return;
  }
  const CComPtr<INetFwRule> rule = Create<INetFwRule>(kClsidNetFwRule, L"NetFwRule");
  SetRuleProperty(rule->put_Enabled(VARIANT_TRUE), L"Enabled");
  SetRuleProperty(rule->put_Protocol(NET_FW_IP_PROTOCOL_TCP), L"Protocol");
  SetRuleProperty(rule->put_Profiles(NET_FW_PROFILE2_ALL), L"Profiles");
  SetRuleProperty(rule->put_Action(NET_FW_ACTION_ALLOW), L"Action");
  SetRuleProperty(rule->put_Name(ruleName.Get()), L"Name");
  SetRuleProperty(rule->put_Description(CBstr(L"Inbound rule for " + name).Get()), L"Description");
  SetRuleProperty(rule->put_ApplicationName(CBstr(path).Get()), L"ApplicationName");
  SetRuleProperty(rule->put_Direction(NET_FW_RULE_DIR_IN), L"Direction");
  SetRuleProperty(rule->put_Grouping(CBstr(L"Korlo Networking").Get()), L"Grouping");
  Check(rules->Add(rule.Get()), L"Unable to add rule.");
}

void RemoveRule(const std::wstring& name) {
  const CComPtr<INetFwRules> rules = GetRules(false);
  const CBstr ruleName(name + L" (In)");
  if (FindRule(*rules.Get(), ruleName)) Check(rules->Remove(ruleName.Get()), L"Failed to remove rule.");
}

CComPtr<INetFwPolicy> GetLocalPolicy() {
  const CComPtr<INetFwMgr> manager = Create<INetFwMgr>(kClsidNetFwMgr, L"NetFwMgr");
  CComPtr<INetFwPolicy> policy;
  Check(ResultOf(manager->get_LocalPolicy(policy.Receive()), policy), L"Unable to retrieve local firewall policy.");
  g_log.Message(L"Local firewall policy was retrieved.");
  return policy;
}

CComPtr<INetFwAuthorizedApplications> GetAuthorizedApplications(INetFwPolicy& policy, NET_FW_PROFILE_TYPE type) {
  CComPtr<INetFwProfile> profile;
  Check(ResultOf(policy.GetProfileByType(type, profile.Receive()), profile), L"Firewall profile is unavailable.");
  g_log.Message(L"Firewall profile was retrieved.");
  CComPtr<INetFwAuthorizedApplications> applications;
  Check(ResultOf(profile->get_AuthorizedApplications(applications.Receive()), applications),
        L"Failed to get access to a collection of applications authorized open ports in the firewall.");
  g_log.Message(L"Retrieved list of authorized applications.");
  return applications;
}

void AddToProfile(INetFwPolicy& policy, NET_FW_PROFILE_TYPE type, const std::wstring& name,
                  const std::wstring& path) {
  CLogStep step(g_log, L"Updating Windows Firewall exceptions list for profile [%1].", DecText(type));
  const CComPtr<INetFwAuthorizedApplications> applications = GetAuthorizedApplications(policy, type);
  const CBstr image(path);
  CComPtr<INetFwAuthorizedApplication> application;
  const HRESULT found = ResultOf(applications->Item(image.Get(), application.Receive()), application);
  if (FAILED(found)) {
    g_log.Info(L"Application is not registered in the exceptions list. Status: [%1].",
               HexText(static_cast<std::uint32_t>(found)));
    g_log.Message(kAdding);
    application = Create<INetFwAuthorizedApplication>(kClsidNetFwAuthorizedApplication, L"NetFwAuthorizedApplication");
    // Only Add decides: the properties' results are not checked.
    application->put_Name(CBstr(name).Get());
    application->put_ProcessImageFileName(image.Get());
    application->put_Enabled(VARIANT_TRUE);
    application->put_IpVersion(NET_FW_IP_VERSION_ANY);
    application->put_RemoteAddresses(CBstr(L"*").Get());
    application->put_Scope(NET_FW_SCOPE_ALL);
    Check(applications->Add(application.Get()),
          FormatMsg(L"Unable to add application to the firewall exceptions list. Application [%1].", path));
  } else {
    g_log.Message(L"Application already included in list of authorized applications.");
    VARIANT_BOOL enabled = VARIANT_FALSE;
    Check(application->get_Enabled(&enabled), L"Cannot check whether firewall exception currently enabled.");
    if (enabled == VARIANT_FALSE) {
      g_log.Warning(L"Firewall exception was disabled. Trying to enable it.");
      Check(application->put_Enabled(VARIANT_TRUE), L"Failed to enable firewall exception.");
    }
  }
  step.Ok();
}

void RemoveFromProfile(INetFwPolicy& policy, NET_FW_PROFILE_TYPE type, const std::wstring& path) {
  CLogStep step(g_log, L"Removing application from Windows Firewall exceptions list for profile [%1].",
                DecText(type));
  const CComPtr<INetFwAuthorizedApplications> applications = GetAuthorizedApplications(policy, type);
  Check(applications->Remove(CBstr(path).Get()), L"Failed to modify exceptions list.");
  step.Ok();
}

// Runs update for each profile; a failing profile is logged and the next
// one is handled.
template <class F>
void ForEachProfile(const wchar_t* failure, F&& update) {
  for (const NET_FW_PROFILE_TYPE type : kProfiles) {
    try {
      update(type);
    } catch (const CExc& e) {
      g_log.Error(FormatMsg(failure, DecText(type)), e);
    }
  }
}

}  // namespace

CFirewallExceptions::CFirewallExceptions() : m_useRules(false) {
  OSVERSIONINFOW version = {};
  version.dwOSVersionInfoSize = sizeof(version);
  KORLO_ALLOW_DEPRECATED
  const BOOL ok = ::GetVersionExW(&version);
  if (!ok) throw CExc(L"Error while getting OS version information", E_FAIL);
  m_useRules = version.dwMajorVersion >= 6;
}

void CFirewallExceptions::AddFirewallException(const std::wstring& name, const std::wstring& path) {
  CLogStep step(g_log, L"Updating Windows Firewall exceptions list.");
  try {
    g_log.Message(L"Service name: [%1], path: [%2].", name, path);
    if (m_useRules) {
      AddRule(name, path);
    } else {
      const CComPtr<INetFwPolicy> policy = GetLocalPolicy();
      ForEachProfile(L"Unable to update Windows Firewall exceptions list for profile [%1].",
                     [&](NET_FW_PROFILE_TYPE type) { AddToProfile(*policy.Get(), type, name, path); });
    }
    step.Ok();
  } catch (const CExc& e) {
    g_log.Error(L"Unable to update Windows Firewall exceptions list.", e);
  }
}

void CFirewallExceptions::RemoveFirewallException(const std::wstring& name, const std::wstring& path) {
  CLogStep step(g_log, L"Removing application from the firewall exceptions list.");
  try {
    if (m_useRules) {
      RemoveRule(name);
    } else {
      const CComPtr<INetFwPolicy> policy = GetLocalPolicy();
      ForEachProfile(L"Unable to remove application from Windows Firewall exceptions list for profile [%1].",
                     [&](NET_FW_PROFILE_TYPE type) { RemoveFromProfile(*policy.Get(), type, path); });
    }
    step.Ok();
  } catch (const CExc& e) {
    g_log.Error(L"Cannot remove application from the firewall exceptions list.", e);
  }
}

bool CFirewallExceptions::HasFirewallException(const std::wstring& name, const std::wstring& path) {
  if (m_useRules) return static_cast<bool>(FindRule(*GetRules(false).Get(), CBstr(name + L" (In)")));
  const CComPtr<INetFwPolicy> policy = GetLocalPolicy();
  const CComPtr<INetFwAuthorizedApplications> applications =
      GetAuthorizedApplications(*policy.Get(), NET_FW_PROFILE_CURRENT);
  CComPtr<INetFwAuthorizedApplication> application;
  return SUCCEEDED(ResultOf(applications->Item(CBstr(path).Get(), application.Receive()), application));
}
