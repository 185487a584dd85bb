#include "rpc/endpoint.h"

#include "base/exc.h"
#include "base/msg.h"
#include "log/log.h"
#include "settings/settings.h"

#include <rpc.h>

namespace {

// More than any set of plugins registers.
constexpr int kMaxInterfaceRounds = 256;

constexpr wchar_t kTcpProtocolSequence[] = L"ncacn_ip_tcp";
constexpr unsigned int kMinCallThreads = 2;

RPC_WSTR RpcText(const wchar_t* text) { return reinterpret_cast<RPC_WSTR>(const_cast<wchar_t*>(text)); }

}  // namespace

cfg::CPortsSettings SelectRpcPortsSettings(const cfg::CPortsSettings& configured, bool persistent) {
  if (!persistent && !GetGuestRuntimeUseStaticPort()) return configured;
  cfg::CPortsSettings fixed;
  fixed.SetStaticPort(kPersistentRpcPort);
  return fixed;
}

void UseDynamicTcpEndpoint() {
  const RPC_STATUS status = ::RpcServerUseProtseqW(RpcText(kTcpProtocolSequence), RPC_C_PROTSEQ_MAX_REQS_DEFAULT,
                                                   nullptr);
  if (status != RPC_S_OK) {
    throw CRpcExc(L"Cannot force RPC run-time library to use all supported protocol sequences for receiving "
                  L"remote procedure calls.",
                  status);
  }
}

void UseStaticTcpEndpoint(std::uint16_t port) {
  const std::wstring endpoint = DecText(port);
  const RPC_STATUS status = ::RpcServerUseProtseqEpW(RpcText(kTcpProtocolSequence), RPC_C_PROTSEQ_MAX_REQS_DEFAULT,
                                                     RpcText(endpoint.c_str()), nullptr);
  if (status != RPC_S_OK) {
    throw CRpcExc(FormatMsg(L"Cannot force the RPC run-time to use specific TCP/IP port for incoming RPC calls. "
                            L"Port number: [%1].",
                            endpoint),
                  status);
  }
}

void RegisterRpcProtocolSequences(const cfg::CPortsSettings& settings) {
  try {
    CLogStep step(g_log, L"Registering RPC protocol sequences used by the server.");
    if (settings.UseDynPort()) {
      UseDynamicTcpEndpoint();
    } else {
      UseStaticTcpEndpoint(settings.StaticPort());
    }
    step.Ok();
  } catch (CExc& e) {
    e.AddContext(L"Cannot register RPC protocol sequences used by the server.");
    throw;
  }
}

CRpcListener::~CRpcListener() {
  if (!m_listening) return;
  try {
    Stop();
  } catch (...) {
    // Nothing is left to do with a failed stop while the service ends.
  }
}

void CRpcListener::Listen() {
  const RPC_STATUS status = ::RpcServerListen(kMinCallThreads, RPC_C_LISTEN_MAX_CALLS_DEFAULT, TRUE);
  if (status != RPC_S_OK) {
    throw CRpcExc(L"Cannot signal the RPC run-time library to listen for remote procedure calls.", status);
  }
  m_listening = true;
}

void CRpcListener::Stop() {
  if (!m_listening) return;
  m_listening = false;
  const RPC_STATUS status = ::RpcMgmtStopServerListening(nullptr);
  if (status != RPC_S_OK) {
    throw CRpcExc(L"Cannot force the RPC run-time library to stop listening for remote procedure calls.", status);
  }
}

void UnregisterRpcInterfaces() {
  CLogStep step(g_log, L"Unregistering the RPC interfaces of the plugins.");
  // Some run-times remove one interface per call when none is named: repeat
  // until none is left, with a bound in case a run-time keeps answering OK.
  for (int round = 0; round < kMaxInterfaceRounds; ++round) {
    const RPC_STATUS status = ::RpcServerUnregisterIf(nullptr, nullptr, TRUE);
    if (status == RPC_S_UNKNOWN_IF) break;
    if (status != RPC_S_OK) {
      throw CRpcExc(L"Cannot unregister the RPC interfaces of the plugins.", status);
    }
  }
  step.Ok();
}
