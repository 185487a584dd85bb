// The service's exception in the Windows Firewall: added when the service
// starts, removed when it stops, through the firewall's COM objects.
#pragma once

#include <string>

class CFirewallExceptions {
 public:
  // Reads the system version: inbound rules on Windows 6.0 and later, the
  // per-profile lists of authorized applications before. Throws CExc
  // (E_FAIL) when the version cannot be read.
  CFirewallExceptions();
  // Uses the interfaces chosen by the caller instead of the system version.
  explicit CFirewallExceptions(bool useRules) noexcept : m_useRules(useRules) {}

  // Both run on a thread that has initialised COM, and never throw: a
  // firewall that cannot be updated is logged as an error and nothing more.
  //
  // Adds, or enables again, the inbound rule "<name> (In)" that admits any
  // TCP port of the program at `path` (before 6.0: the program's entry in
  // each profile's authorized applications).
  void AddFirewallException(const std::wstring& name, const std::wstring& path);
  // Removes the rule "<name> (In)" when it exists (before 6.0: the entry
  // of `path` from each profile).
  void RemoveFirewallException(const std::wstring& name, const std::wstring& path);

  // Whether the rule "<name> (In)" exists (before 6.0: whether the current
  // profile lists the program at `path`), for reports. Throws CExc when the
  // firewall cannot be asked; changes nothing.
  bool HasFirewallException(const std::wstring& name, const std::wstring& path);

  bool UsesRules() const { return m_useRules; }

 private:
  bool m_useRules;
};
