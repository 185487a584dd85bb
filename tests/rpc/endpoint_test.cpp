#include "rpc/endpoint.h"

#include "exc_checks.h"
#include "log_capture.h"
#include "settings/settings.h"
#include "test_support.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <rpc.h>

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>

namespace {

using testing_support::CatchExc;
using testing_support::CLogCapture;

// Fixed ports of this program (RESOURCE_LOCK in CMakeLists.txt).
constexpr std::uint16_t kStaticPort = 6181;
constexpr std::uint16_t kTakenPort = 6183;
const std::wstring kStep = L"Registering RPC protocol sequences used by the server.";

// The endpoints of the process's bindings, "ncacn_ip_tcp:<address>[<port>]".
std::set<std::wstring> Endpoints() {
  std::set<std::wstring> ports;
  RPC_BINDING_VECTOR* bindings = nullptr;
  if (::RpcServerInqBindings(&bindings) != RPC_S_OK) return ports;
  for (unsigned long i = 0; i < bindings->Count; ++i) {
    RPC_WSTR text = nullptr;
    if (::RpcBindingToStringBindingW(bindings->BindingH[i], &text) != RPC_S_OK) continue;
    const std::wstring binding = reinterpret_cast<wchar_t*>(text);
    ::RpcStringFreeW(&text);
    ports.insert(binding.substr(binding.find(L'[') + 1, binding.find(L']') - binding.find(L'[') - 1));
  }
  ::RpcBindingVectorFree(&bindings);
  return ports;
}

cfg::CPortsSettings StaticPort(std::uint16_t port) {
  cfg::CPortsSettings settings;
  settings.SetStaticPort(port);
  return settings;
}

TEST(RpcEndpoint, RegistersDynamicAndStaticTcpEndpoints) {
  const struct {
    cfg::CPortsSettings settings;
    const wchar_t* expected;  // the new endpoint; null: any but kStaticPort
  } cases[] = {{cfg::CPortsSettings(), nullptr}, {StaticPort(kStaticPort), L"6181"}};
  for (const auto& c : cases) {
    CLogCapture log;
    const std::set<std::wstring> before = Endpoints();
    RegisterRpcProtocolSequences(c.settings);
    std::set<std::wstring> added = Endpoints();
    for (const std::wstring& port : before) added.erase(port);
    ASSERT_EQ(1u, added.size());
    EXPECT_TRUE(c.expected ? *added.begin() == c.expected : *added.begin() != L"6181");
    EXPECT_TRUE(log.Contains(kLogMessage, kStep) && log.Contains(kLogMessage, kStep + L". Ok."));
  }
}

// Wine reports a taken port only when both address families are taken.
TEST(RpcEndpoint, PortTakenOnBothAddressFamiliesFailsWithThreeLines) {
  WSADATA data;
  ASSERT_EQ(0, ::WSAStartup(MAKEWORD(2, 2), &data));
  sockaddr_in6 v6 = {};  // [::]:kTakenPort, IPv6 only
  v6.sin6_family = AF_INET6;
  v6.sin6_port = ::htons(kTakenPort);
  sockaddr_in v4 = {AF_INET, v6.sin6_port, {}, {}};
  const SOCKET s4 = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP), s6 = ::socket(AF_INET6, SOCK_STREAM, IPPROTO_TCP);
  const DWORD only = 1;
  ::setsockopt(s6, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&only), sizeof(only));
  ASSERT_EQ(0, ::bind(s4, reinterpret_cast<sockaddr*>(&v4), sizeof(v4)) + ::listen(s4, 1) +
                   ::bind(s6, reinterpret_cast<sockaddr*>(&v6), sizeof(v6)) + ::listen(s6, 1));
  CLogCapture log;
  const auto e = CatchExc<CRpcExc>([] { RegisterRpcProtocolSequences(StaticPort(kTakenPort)); });
  ::closesocket(s4);
  ::closesocket(s6);
  ASSERT_TRUE(e);
  ASSERT_EQ(3u, e->GetMessages().size());
  EXPECT_EQ(L"Cannot register RPC protocol sequences used by the server.", e->GetMessages()[0]);
  EXPECT_EQ(L"Cannot force the RPC run-time to use specific TCP/IP port for incoming RPC calls. Port number: [6183].",
            e->GetMessages()[1]);
  EXPECT_TRUE(testing_support::IsCauseLine(e->GetMessages()[2], L"RPC", L"1740"));
  EXPECT_EQ(static_cast<DWORD>(RPC_S_DUPLICATE_ENDPOINT), e->GetRpcStatus());
  EXPECT_TRUE(log.Contains(kLogMessage, kStep + L". Failed."));
}

TEST(RpcEndpoint, PersistentModeAndTheRegistryChooseTheStaticPort) {
  testing_support::CTestRegKey settings(kSettingsKeyPath);
  const cfg::CPortsSettings configured = StaticPort(2345);
  for (const DWORD flag : {0, 1}) {
    settings.SetDword(L"GuestRuntimeUseStaticPort", flag);
    EXPECT_EQ(flag ? 6173 : 2345, SelectRpcPortsSettings(configured, false).StaticPort());
  }
  settings.Delete();  // reading it now would log that it is missing
  CLogCapture log;
  const cfg::CPortsSettings persistent = SelectRpcPortsSettings(cfg::CPortsSettings(), true);
  EXPECT_TRUE(!persistent.UseDynPort() && persistent.StaticPort() == 6173 && log.Lines().empty());
}

TEST(RpcEndpoint, ListenerStopsOnceAndOnDestruction) {
  UseDynamicTcpEndpoint();
  CRpcListener().Stop();  // never listened: nothing to do
  {
    CRpcListener listener;
    listener.Listen();
    EXPECT_EQ(RPC_S_OK, ::RpcMgmtIsServerListening(nullptr));
    // A failed Listen leaves a listener idle: its destructor must not stop the first.
    auto second = std::make_unique<CRpcListener>();
    const auto e = CatchExc<CRpcExc>([&] { second->Listen(); });
    EXPECT_TRUE(e && e->GetMessages().front() ==
                         L"Cannot signal the RPC run-time library to listen for remote procedure calls.");
    second.reset();
    EXPECT_EQ(RPC_S_OK, ::RpcMgmtIsServerListening(nullptr));
    listener.Stop();
    listener.Stop();  // once only
    ::RpcMgmtWaitServerListen();
    EXPECT_EQ(RPC_S_NOT_LISTENING, ::RpcMgmtIsServerListening(nullptr));
    listener.Listen();
  }
  ::RpcMgmtWaitServerListen();
  EXPECT_EQ(RPC_S_NOT_LISTENING, ::RpcMgmtIsServerListening(nullptr));
}

}  // namespace
