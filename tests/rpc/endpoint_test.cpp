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
#include <string>

namespace {

using testing_support::CatchExc;
using testing_support::CLogCapture;

// A fixed port of this program (RESOURCE_LOCK in CMakeLists.txt).
constexpr std::uint16_t kTakenPort = 6183;
const std::wstring kStep = L"Registering RPC protocol sequences used by the server.";

unsigned long BindingCount() {
  RPC_BINDING_VECTOR* bindings = nullptr;
  if (::RpcServerInqBindings(&bindings) != RPC_S_OK) return 0;
  const unsigned long count = bindings->Count;
  ::RpcBindingVectorFree(&bindings);
  return count;
}

cfg::CPortsSettings StaticPort(std::uint16_t port) {
  cfg::CPortsSettings settings;
  settings.SetStaticPort(port);
  return settings;
}

class RpcEndpoint : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, ::WSAStartup(MAKEWORD(2, 2), &m_wsa)); }
  void TearDown() override { ::WSACleanup(); }
  WSADATA m_wsa;
};

// The static port is served to a client of another make in the service's
// end-to-end test (tests/rpc/impacket_e2e.py).
TEST_F(RpcEndpoint, RegistersDynamicTcpEndpoint) {
  const unsigned long before = BindingCount();
  CLogCapture log;
  RegisterRpcProtocolSequences(cfg::CPortsSettings());
  EXPECT_EQ(before + 1, BindingCount());
  ASSERT_EQ(2u, log.Lines().size());
  EXPECT_TRUE(log.Lines()[0].text == kStep && log.Lines()[1].text == kStep + L". Ok.");
}

// Wine reports a taken port only when both address families are taken.
TEST_F(RpcEndpoint, PortTakenOnBothAddressFamiliesFailsWithThreeLines) {
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
  EXPECT_EQ(static_cast<std::int32_t>(0x800706CCu), e->GetCode());
  EXPECT_TRUE(log.Contains(kLogMessage, kStep + L". Failed."));
}

TEST_F(RpcEndpoint, PersistentModeAndTheRegistryChooseTheStaticPort) {
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

TEST_F(RpcEndpoint, ListenerStopsOnceAndOnDestruction) {
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
