// The process's one RPC endpoint: the ncacn_ip_tcp protocol sequence on a
// dynamic or a static TCP port, and the start and stop of listening. The
// process registers no interface of its own; the plugins register theirs
// between RegisterRpcProtocolSequences and CRpcListener::Listen.
//
// Every call here runs on the service's run thread. Failures are CRpcExc
// objects whose last line is the "RPC error:" cause line.
#pragma once

#include "plugins/guest_cfg_file.h"

#include <cstdint>

// The static port of persistent mode.
constexpr std::uint16_t kPersistentRpcPort = 6173;

// The port policy the service registers with: the static port
// kPersistentRpcPort in persistent mode, or else when the registry setting
// GuestRuntimeUseStaticPort is on (not read in persistent mode); otherwise
// `configured`, the agent configuration's pair.
cfg::CPortsSettings SelectRpcPortsSettings(const cfg::CPortsSettings& configured, bool persistent);

// Registers ncacn_ip_tcp with the RPC run-time: a dynamic endpoint when
// settings.UseDynPort(), else the endpoint settings.StaticPort(). Logged as a
// step. A failure gets "Cannot register RPC protocol sequences used by the
// server." in front and is thrown on with its type unchanged. What is
// registered stays registered until the process ends.
void RegisterRpcProtocolSequences(const cfg::CPortsSettings& settings);

// The two ways RegisterRpcProtocolSequences registers (queue length
// RPC_C_PROTSEQ_MAX_REQS_DEFAULT, no security descriptor). Throw CRpcExc.
void UseDynamicTcpEndpoint();
void UseStaticTcpEndpoint(std::uint16_t port);

// Listening of this process's RPC server. Not thread-safe: owned and driven by
// the service's run routine.
class CRpcListener {
 public:
  CRpcListener() = default;
  // Stops listening when still listening; swallows every failure.
  ~CRpcListener();
  CRpcListener(const CRpcListener&) = delete;
  CRpcListener& operator=(const CRpcListener&) = delete;

  // Starts listening on the run-time's own threads (at least 2 call threads,
  // at most RPC_C_LISTEN_MAX_CALLS_DEFAULT concurrent calls) and returns at
  // once. Throws CRpcExc; a failure leaves the listener not listening.
  void Listen();
  // Stops listening; does nothing when not listening. The flag is cleared
  // before the run-time is asked, so a failed stop is not tried again by the
  // destructor. Throws CRpcExc.
  void Stop();

 private:
  bool m_listening = false;
};

// Unregisters every interface the plugins registered, each once the calls
// in flight on it have completed. After it no call can reach a plugin's
// library, which may then be unloaded. Throws CRpcExc.
void UnregisterRpcInterfaces();
