// The removal handshake between the service (the uninstallation client,
// CSynchConsumer) and the uninstaller (the uninstallation server,
// CSynchInitiator). The uninstaller takes a lock file in the Windows folder
// (the folder the ADMIN$ share exposes), sets the lock-acquired event and
// waits for the service to set the continue or the cancel event. The names
// come from the synchronization variables, which the service creates and
// passes on the uninstaller's command line ("fileLockName", "synchEvtsUid").
// Without a file lock name no handshake takes place and the removal goes on.
//
// Each side runs on one thread. The events are global-namespace kernel
// objects, so the uninstaller finds them from any session.
#pragma once

#include "base/handle.h"
#include "base/win.h"
#include "plugins/plugin_contract.h"

#include <cstddef>
#include <map>
#include <memory>
#include <string>

namespace uninstall {

// How long each side waits. The defaults are the product's; tests shorten
// them.
struct SSynchLimits {
  DWORD lockWaitMs = 5400;        // client: for the lock-acquired event
  DWORD lockAttempts = 90;        // server: lock file attempts, 1 s apart
  DWORD decisionWaitMs = 90000;   // server: for continue or cancel
  // Client: a decision that comes this close to the server's limit, or
  // later, is too late (the two clocks start a scheduling delay apart).
  DWORD decisionMarginMs = 2000;
};

// Throws CExc (E_INVALIDARG) unless the file lock name is empty or a plain
// file-name stem: ASCII letters, digits, "_", "-", ".", "{" and "}" (a braced
// GUID passes), not starting with "-" or ".", at most kMaxFileLockName
// characters. The name lands unquoted on the uninstaller's command line and
// in a path inside the Windows folder, so nothing that could read as an
// option, a quote or a path may pass.
constexpr std::size_t kMaxFileLockName = 64;
void CheckFileLockName(const std::wstring& name);

// The pair that names the lock and the events; either part may be empty.
class CSynchVars {
 public:
  CSynchVars(const std::wstring& fileLockName, const std::wstring& evtsUid);

  // A new uid: a GUID in lower-case 8-4-4-4-12 form, in braces.
  static std::wstring NewUid();

  // Computes the lock path and the event names and logs them. False (and
  // nothing computed) when the file lock name is empty. Throws CComExc when
  // the Windows folder cannot be named, CExc when the name is not a plain one
  // (CheckFileLockName).
  bool Define();

  const std::wstring& GetFileLockName() const { return m_fileLockName; }
  const std::wstring& GetEvtsUid() const { return m_evtsUid; }
  // Windows folder + "\" + file lock name + ".lck".
  const std::wstring& GetLockPath() const { return m_lockPath; }
  const std::wstring& GetLockAcquiredEvtName() const { return m_lockAcquiredEvt; }
  const std::wstring& GetContinueEvtName() const { return m_continueEvt; }
  const std::wstring& GetCancelEvtName() const { return m_cancelEvt; }

 private:
  std::wstring m_fileLockName;
  std::wstring m_evtsUid;
  std::wstring m_lockPath;
  std::wstring m_lockAcquiredEvt;
  std::wstring m_continueEvt;
  std::wstring m_cancelEvt;
};

// A mutex between processes (and machines, through ADMIN$) made of one file:
// locking creates it for exclusive use, unlocking deletes it. Used by one
// thread at a time.
class CMutexOnFile {
 public:
  static constexpr DWORD kNoTimeout = 0xFFFFFFFF;

  explicit CMutexOnFile(const std::wstring& path) : m_path(path) {}
  // Unlocks; failures are swallowed.
  ~CMutexOnFile();
  CMutexOnFile(const CMutexOnFile&) = delete;
  CMutexOnFile& operator=(const CMutexOnFile&) = delete;

  // Up to timeoutSec attempts, 1000 ms apart, while another opener holds the
  // file (kNoTimeout: no limit; 0: fails at once). A timeout is CWin32Exc
  // with WAIT_TIMEOUT; locking twice is CExc (E_FAIL).
  void Lock(DWORD timeoutSec);
  // Deletes the file, then closes it. Does nothing when unlocked.
  void Unlock();
  bool IsLocked() const { return m_file.IsValid(); }
  const std::wstring& GetPath() const { return m_path; }

 private:
  std::wstring m_path;
  CFileHandle m_file;
};

// Holds a CMutexOnFile locked for the lifetime of the scope.
class CLock4MutexOnFile {
 public:
  CLock4MutexOnFile(std::shared_ptr<CMutexOnFile> mutex, DWORD timeoutSec);
  ~CLock4MutexOnFile();
  CLock4MutexOnFile(const CLock4MutexOnFile&) = delete;
  CLock4MutexOnFile& operator=(const CLock4MutexOnFile&) = delete;

 private:
  std::shared_ptr<CMutexOnFile> m_mutex;
};

// The service's side. Construction creates the three events (not signalled).
class CSynchConsumer {
 public:
  // `decide` may be null (the removal is accepted). Failures are CExc with
  // the context "Cannot initialize requestor's events ...".
  CSynchConsumer(std::shared_ptr<CSynchVars> vars, PluginUninstallDecisionFn* decide,
                 const SSynchLimits& limits = SSynchLimits());

  // Waits for the uninstaller to take the lock, asks the callback and sets
  // the continue or the cancel event. True: accepted, not required, or the
  // handshake failed (logged); false: cancelled by the callback. A decision
  // that comes after the uninstaller has stopped waiting for it (it then
  // goes on with the removal) is logged as too late and answered true.
  // Never throws a CExc.
  bool Synchronize();

 private:
  std::shared_ptr<CSynchVars> m_vars;
  bool m_defined = false;
  PluginUninstallDecisionFn* m_decide;
  SSynchLimits m_limits;
  std::shared_ptr<CKernelHandle> m_lockAcquired;
  std::shared_ptr<CKernelHandle> m_continue;
  std::shared_ptr<CKernelHandle> m_cancel;
};

// The uninstaller's side.
class CSynchInitiator {
 public:
  explicit CSynchInitiator(std::shared_ptr<CSynchVars> vars, const SSynchLimits& limits = SSynchLimits());

  // Opens the events, takes the lock file, sets lock-acquired and waits for
  // the decision: true accepted, false cancelled. Without variables the
  // decision stays as the caller set it. Throws CExc on failure; the lock
  // file is deleted on every path.
  void Run(bool& decision);

 private:
  std::shared_ptr<CSynchVars> m_vars;
  SSynchLimits m_limits;
};

// The uninstaller's check whether the removal is still required: runs the
// server side with "fileLockName" and "synchEvtsUid" from the options. A
// failure is logged and answered with true.
bool CheckUninstallRequired(const std::map<std::wstring, std::wstring>& options,
                            const SSynchLimits& limits = SSynchLimits());

}  // namespace uninstall
