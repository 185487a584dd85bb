#include "uninstall/synch.h"

#include "base/exc.h"
#include "base/msg.h"
#include "base/msg_ids.h"
#include "base/path.h"
#include "log/log.h"

#include <objbase.h>
#include <rpc.h>
#include <shlobj.h>

namespace uninstall {

namespace {

constexpr DWORD kLockAttemptIntervalMs = 1000;
constexpr wchar_t kAccepted[] = L"UninstallationAccepted";
constexpr wchar_t kCancelled[] = L"UninstallationCancel";

std::wstring OptionOrEmpty(const std::map<std::wstring, std::wstring>& options, const std::wstring& name) {
  const auto found = options.find(name);
  return found == options.end() ? std::wstring() : found->second;
}

std::shared_ptr<CKernelHandle> CreateNamedEvent(const std::wstring& name) {
  auto event = std::make_shared<CKernelHandle>(::CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
  if (!*event) {
    const DWORD error = ::GetLastError();
    throw CWin32Exc(LoadMsg(IDS_CANNOT_CREATE_EVENT), name, error);
  }
  return event;
}

CKernelHandle OpenNamedEvent(const std::wstring& name) {
  CKernelHandle event(::OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, name.c_str()));
  if (!event) {
    const DWORD error = ::GetLastError();
    throw CWin32Exc(LoadMsg(IDS_CANNOT_OPEN_EVENT), name, error);
  }
  return event;
}

bool IsSignalled(HANDLE event) { return ::WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

}  // namespace

void CheckFileLockName(const std::wstring& name) {
  bool plain = name.size() <= kMaxFileLockName && (name.empty() || (name[0] != L'-' && name[0] != L'.'));
  std::wstring shown;  // printable ASCII only, so the name cannot forge log lines
  for (const wchar_t c : name) {
    plain = plain && ((c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') ||
                      c == L'_' || c == L'-' || c == L'.' || c == L'{' || c == L'}');
    shown += (c >= 0x20 && c < 0x7F) ? c : L'?';
  }
  if (!plain) {
    throw CExc(L"The file lock name [%1] is refused: a lock name holds only letters, digits, \"_\", \"-\", "
               L"\".\", \"{\" and \"}\", does not start with \"-\" or \".\" and has at most %2 characters.",
               shown, std::to_wstring(kMaxFileLockName), static_cast<std::int32_t>(E_INVALIDARG));
  }
}

// --- CSynchVars ------------------------------------------------------------------

CSynchVars::CSynchVars(const std::wstring& fileLockName, const std::wstring& evtsUid)
    : m_fileLockName(fileLockName), m_evtsUid(evtsUid) {}

std::wstring CSynchVars::NewUid() { return NewBracedGuid(); }

bool CSynchVars::Define() {
  CLogStep step(g_log, L"Defining values of uninstall synchronization variables.");
  if (m_fileLockName.empty()) {
    g_log.Info(L"Uninstall synchronization variables are not set.");
    step.Ok();
    return false;
  }
  CheckFileLockName(m_fileLockName);
  wchar_t windows[MAX_PATH] = {};
  const HRESULT hr = ::SHGetFolderPathW(nullptr, CSIDL_WINDOWS, nullptr, SHGFP_TYPE_CURRENT, windows);
  if (FAILED(hr)) throw CComExc(L"Cannot get path to a ADMIN$ folder.", hr);

  m_lockPath = std::wstring(windows) + L"\\" + m_fileLockName + L".lck";
  m_lockAcquiredEvt = L"Global\\KorloUninstallLockAcquired_" + m_evtsUid;
  m_continueEvt = L"Global\\KorloUninstallContinueUninstall_" + m_evtsUid;
  m_cancelEvt = L"Global\\KorloUninstallCancelUninstall_" + m_evtsUid;

  g_log.Info(L"Uninstall lock path: [%1].", m_lockPath);
  g_log.Info(L"Alias for the [%1] event: [%2].", L"uninstall lock acquired", m_lockAcquiredEvt);
  g_log.Info(L"Alias for the [%1] event: [%2].", L"continue uninstall", m_continueEvt);
  g_log.Info(L"Alias for the [%1] event: [%2].", L"cancel uninstall", m_cancelEvt);
  step.Ok();
  return true;
}

// --- CMutexOnFile ------------------------------------------------------------------

CMutexOnFile::~CMutexOnFile() {
  try {
    Unlock();
  } catch (...) {
    // A destructor: the file may stay behind, nothing else can be done.
  }
}

void CMutexOnFile::Lock(DWORD timeoutSec) {
  if (IsLocked()) throw CExc(L"File-based mutex already locked. File path: [%1].", m_path, E_FAIL);
  const std::wstring path = AddLongPathPrefix(m_path);
  for (DWORD attempt = 0;; ++attempt) {
    if (timeoutSec == kNoTimeout) {
      attempt = 0;
    } else if (attempt >= timeoutSec) {
      throw CWin32Exc(L"Waiting for the file lock has timed out. Lock path: [%1].", m_path, WAIT_TIMEOUT);
    }
    m_file.Reset(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (m_file) return;
    const DWORD error = ::GetLastError();
    if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) {
      throw CWin32Exc(L"Cannot create a file for the mutex. File path: [%1].", m_path, error);
    }
    ::Sleep(kLockAttemptIntervalMs);
  }
}

void CMutexOnFile::Unlock() {
  if (!IsLocked()) return;
  // The handle shares deletion, so the name goes while it is still open and
  // no other opener can slip in between.
  ::DeleteFileW(AddLongPathPrefix(m_path).c_str());
  m_file.Reset();
}

CLock4MutexOnFile::CLock4MutexOnFile(std::shared_ptr<CMutexOnFile> mutex, DWORD timeoutSec)
    : m_mutex(std::move(mutex)) {
  m_mutex->Lock(timeoutSec);
}

CLock4MutexOnFile::~CLock4MutexOnFile() {
  try {
    m_mutex->Unlock();
  } catch (...) {
    // Destructor: see CMutexOnFile.
  }
}

// --- CSynchConsumer ----------------------------------------------------------------

CSynchConsumer::CSynchConsumer(std::shared_ptr<CSynchVars> vars, PluginUninstallDecisionFn* decide,
                               const SSynchLimits& limits)
    : m_vars(std::move(vars)), m_decide(decide), m_limits(limits) {
  try {
    m_defined = m_vars->Define();
    if (!m_defined) return;
    m_lockAcquired = CreateNamedEvent(m_vars->GetLockAcquiredEvtName());
    m_cancel = CreateNamedEvent(m_vars->GetCancelEvtName());
    m_continue = CreateNamedEvent(m_vars->GetContinueEvtName());
  } catch (CExc& e) {
    e.AddContext(IDS_CANNOT_INIT_REQUESTOR_EVENTS);
    throw;
  }
}

bool CSynchConsumer::Synchronize() {
  if (!m_defined) {
    g_log.Info(LoadMsg(IDS_UNINST_CLIENT_SYNC_NOT_REQUIRED));
    return true;
  }
  try {
    CLogStep step(g_log, LoadMsg(IDS_UNINST_CLIENT_SYNCHRONIZING));
    const DWORD wait = ::WaitForSingleObject(m_lockAcquired->Get(), m_limits.lockWaitMs);
    if (wait == WAIT_TIMEOUT) throw CExc(LoadMsg(IDS_LOCK_WAIT_TIMED_OUT), E_FAIL);
    if (wait != WAIT_OBJECT_0) {
      const DWORD error = ::GetLastError();
      throw CWin32Exc(IDS_CANNOT_WAIT_LOCK, error);
    }

    const DWORD asked = ::GetTickCount();
    BOOLEAN cancel = FALSE;
    if (m_decide != nullptr) m_decide(&cancel);
    const DWORD took = ::GetTickCount() - asked;
    if (took + m_limits.decisionMarginMs >= m_limits.decisionWaitMs) {
      throw CExc(L"The agent's decision came too late, after [%1] ms: the uninstallation server waits [%2] ms for "
                 L"it and then goes on with the removal.",
                 std::to_wstring(took), std::to_wstring(m_limits.decisionWaitMs), E_FAIL);
    }
    const bool accepted = cancel == FALSE;
    g_log.Message(LoadMsg(IDS_FIRING_UNINSTALL_EVENT), accepted ? kAccepted : kCancelled);
    if (!::SetEvent((accepted ? m_continue : m_cancel)->Get())) {
      const DWORD error = ::GetLastError();
      throw CWin32Exc(L"Cannot set an event.", error);
    }
    step.Ok();
    return accepted;
  } catch (const CExc& e) {
    g_log.Error(LoadMsg(IDS_UNINST_CLIENT_CANNOT_SYNC), e);
    return true;
  }
}

// --- CSynchInitiator ---------------------------------------------------------------

CSynchInitiator::CSynchInitiator(std::shared_ptr<CSynchVars> vars, const SSynchLimits& limits)
    : m_vars(std::move(vars)), m_limits(limits) {}

void CSynchInitiator::Run(bool& decision) {
  CLogStep step(g_log, LoadMsg(IDS_UNINST_SERVER_SYNCHRONIZING));
  if (!m_vars->Define()) {
    g_log.Info(LoadMsg(IDS_UNINST_SERVER_SYNC_NOT_REQUIRED));
    step.Ok();
    return;
  }
  const CKernelHandle lockAcquired = OpenNamedEvent(m_vars->GetLockAcquiredEvtName());
  const CKernelHandle continueEvt = OpenNamedEvent(m_vars->GetContinueEvtName());
  const CKernelHandle cancelEvt = OpenNamedEvent(m_vars->GetCancelEvtName());

  const std::wstring& lockPath = m_vars->GetLockPath();
  std::unique_ptr<CLock4MutexOnFile> lock;
  try {
    CLogStep lockStep(g_log, LoadMsg(IDS_UNINST_SERVER_ACQUIRING_LOCK), lockPath);
    lock = std::make_unique<CLock4MutexOnFile>(std::make_shared<CMutexOnFile>(lockPath), m_limits.lockAttempts);
    lockStep.Ok();
  } catch (CExc& e) {
    e.AddContext(IDS_UNINST_SERVER_CANNOT_ACQUIRE_LOCK, lockPath);
    throw;
  }

  if (!::SetEvent(lockAcquired.Get())) {
    const DWORD error = ::GetLastError();
    throw CWin32Exc(L"Cannot set an event.", error);
  }

  try {
    CLogStep waitStep(g_log, LoadMsg(IDS_UNINST_SERVER_WAITING_DECISION));
    const HANDLE decisions[] = {cancelEvt.Get(), continueEvt.Get()};
    const DWORD wait = ::WaitForMultipleObjects(2, decisions, FALSE, m_limits.decisionWaitMs);
    if (wait == WAIT_TIMEOUT) throw CWin32Exc(IDS_DECISION_TIMED_OUT, WAIT_TIMEOUT);
    if (IsSignalled(cancelEvt.Get())) {
      g_log.Info(LoadMsg(IDS_UNINST_SERVER_CANCELLED));
      decision = false;
    } else if (IsSignalled(continueEvt.Get())) {
      g_log.Info(LoadMsg(IDS_UNINST_SERVER_ACCEPTED));
      decision = true;
    } else {
      throw CWin32Exc(kUseLastError);
    }
    waitStep.Ok();
  } catch (CExc& e) {
    e.AddContext(IDS_CANNOT_WAIT_DECISION);
    throw;
  }
  step.Ok();
}

bool CheckUninstallRequired(const std::map<std::wstring, std::wstring>& options, const SSynchLimits& limits) {
  try {
    CLogStep step(g_log, LoadMsg(IDS_CHECKING_UNINSTALL_REQUIRED));
    auto vars = std::make_shared<CSynchVars>(OptionOrEmpty(options, L"fileLockName"),
                                             OptionOrEmpty(options, L"synchEvtsUid"));
    CSynchInitiator initiator(vars, limits);
    bool decision = true;
    initiator.Run(decision);
    g_log.Info(LoadMsg(decision ? IDS_AGENT_ACCEPTED_REMOVAL : IDS_AGENT_DECLINED_REMOVAL));
    step.Ok();
    return decision;
  } catch (const CExc& e) {
    g_log.Error(LoadMsg(IDS_CANNOT_CHECK_UNINSTALL_REQUIRED), e);
    return true;
  }
}

}  // namespace uninstall
