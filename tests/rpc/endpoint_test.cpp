#include "rpc/endpoint.h"

#include "exc_checks.h"
#include "log_capture.h"
#include "test_support.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <rpc.h>

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

using testing_support::CatchExc;
using testing_support::CLogCapture;
using testing_support::IsCauseLine;

// Fixed ports of this program (RESOURCE_LOCK in CMakeLists.txt).
constexpr std::uint16_t kStaticPort = 6181;
constexpr std::uint16_t kTakenPort = 6183;
const std::wstring kStep = L"Registering RPC protocol sequences used by the server.";

// The ports of the process's ncacn_ip_tcp endpoints.
std::set<std::wstring> TcpEndpoints() {
  std::set<std::wstring> ports;
  RPC_BINDING_VECTOR* bindings = nullptr;
  if (::RpcServerInqBindings(&bindings) != RPC_S_OK) return ports;
  for (unsigned long i = 0; i < bindings->Count; ++i) {
    RPC_WSTR text = nullptr;
    if (::RpcBindingToStringBindingW(bindings->BindingH[i], &text) != RPC_S_OK) continue;
    const std::wstring binding = reinterpret_cast<wchar_t*>(text);  // ncacn_ip_tcp:<address>[<port>]
    ::RpcStringFreeW(&text);
    const size_t open = binding.find(L'[');
    if (binding.rfind(L"ncacn_ip_tcp:", 0) == 0 && open != std::wstring::npos) {
      ports.insert(binding.substr(open + 1, binding.find(L']') - open - 1));
    }
  }
  ::RpcBindingVectorFree(&bindings);
  return ports;
}

cfg::CPortsSettings Settings(bool dynamic, std::uint16_t port) {
  cfg::CPortsSettings settings;
  settings.SetStaticPort(port);
  if (dynamic) settings.SetDefaults();
  return settings;
}

// A listening TCP socket on every IPv4 or IPv6 address.
class CListeningSocket {
 public:
  CListeningSocket(int family, std::uint16_t port) : m_socket(::socket(family, SOCK_STREAM, IPPROTO_TCP)) {
    sockaddr_storage address = {};
    int size = 0;
    if (family == AF_INET6) {
      DWORD only = 1;
      ::setsockopt(m_socket, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&only), sizeof(only));
      auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
      v6->sin6_family = AF_INET6;
      v6->sin6_port = ::htons(port);
      size = sizeof(sockaddr_in6);
    } else {
      auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
      v4->sin_family = AF_INET;
      v4->sin_port = ::htons(port);
      size = sizeof(sockaddr_in);
    }
    m_ok = ::bind(m_socket, reinterpret_cast<sockaddr*>(&address), size) == 0 && ::listen(m_socket, 1) == 0;
  }
  ~CListeningSocket() { ::closesocket(m_socket); }
  bool Ok() const { return m_ok; }

 private:
  SOCKET m_socket;
  bool m_ok = false;
};

TEST(RpcEndpoint, RegistersDynamicAndStaticTcpEndpoints) {
  const struct {
    bool dynamic;
    std::uint16_t port;
    const wchar_t* expected;  // the new endpoint; null: any port but kStaticPort
  } cases[] = {{true, kStaticPort, nullptr}, {false, kStaticPort, L"6181"}};
  for (const auto& c : cases) {
    CLogCapture log;
    const std::set<std::wstring> before = TcpEndpoints();
    RegisterRpcProtocolSequences(Settings(c.dynamic, c.port));
    std::set<std::wstring> added;
    for (const std::wstring& port : TcpEndpoints()) {
      if (!before.count(port)) added.insert(port);
    }
    ASSERT_EQ(1u, added.size()) << c.dynamic;
    if (c.expected) {
      EXPECT_EQ(c.expected, *added.begin());
    } else {
      EXPECT_NE(L"6181", *added.begin());
    }
    EXPECT_TRUE(log.Contains(kLogMessage, kStep));
    EXPECT_TRUE(log.Contains(kLogMessage, kStep + L". Ok."));
  }
}

TEST(RpcEndpoint, PortTakenOnBothAddressFamiliesFailsWithThreeLines) {
  WSADATA data;
  ASSERT_EQ(0, ::WSAStartup(MAKEWORD(2, 2), &data));
  {
    CListeningSocket v4(AF_INET, kTakenPort), v6(AF_INET6, kTakenPort);
    ASSERT_TRUE(v4.Ok() && v6.Ok());
    CLogCapture log;
    const auto e = CatchExc<CRpcExc>([] { RegisterRpcProtocolSequences(Settings(false, kTakenPort)); });
    ASSERT_TRUE(e);
    ASSERT_EQ(3u, e->GetMessages().size());
    EXPECT_EQ(L"Cannot register RPC protocol sequences used by the server.", e->GetMessages()[0]);
    EXPECT_EQ(L"Cannot force the RPC run-time to use specific TCP/IP port for incoming RPC calls. Port number: "
              L"[6183].",
              e->GetMessages()[1]);
    EXPECT_TRUE(IsCauseLine(e->GetMessages()[2], L"RPC", L"1740")) << testing_support::Narrow(e->GetMessages()[2]);
    EXPECT_EQ(static_cast<DWORD>(RPC_S_DUPLICATE_ENDPOINT), e->GetRpcStatus());
    EXPECT_EQ(CExc::ToHResult(RPC_S_DUPLICATE_ENDPOINT), e->GetCode());
    EXPECT_TRUE(log.Contains(kLogMessage, kStep + L". Failed."));
  }
  ::WSACleanup();
}

TEST(RpcEndpoint, ListenerStopsOnceAndOnDestruction) {
  UseDynamicTcpEndpoint();
  {
    CRpcListener never;
    never.Stop();  // never listened: nothing to do
  }
  EXPECT_EQ(RPC_S_NOT_LISTENING, ::RpcMgmtIsServerListening(nullptr));
  {
    CRpcListener listener;
    listener.Listen();
    EXPECT_TRUE(listener.IsListening());
    EXPECT_EQ(RPC_S_OK, ::RpcMgmtIsServerListening(nullptr));
    {
      // A second Listen fails and leaves that listener idle: its destructor
      // must not stop the first one.
      CRpcListener second;
      const auto e = CatchExc<CRpcExc>([&] { second.Listen(); });
      ASSERT_TRUE(e);
      EXPECT_EQ(L"Cannot signal the RPC run-time library to listen for remote procedure calls.",
                e->GetMessages().front());
      EXPECT_EQ(static_cast<DWORD>(RPC_S_ALREADY_LISTENING), e->GetRpcStatus());
      EXPECT_FALSE(second.IsListening());
    }
    EXPECT_EQ(RPC_S_OK, ::RpcMgmtIsServerListening(nullptr));
    listener.Stop();
    EXPECT_FALSE(listener.IsListening());
    ::RpcMgmtWaitServerListen();
    EXPECT_EQ(RPC_S_NOT_LISTENING, ::RpcMgmtIsServerListening(nullptr));
    listener.Stop();  // a second stop does nothing
    listener.Listen();
  }
  ::RpcMgmtWaitServerListen();
  EXPECT_EQ(RPC_S_NOT_LISTENING, ::RpcMgmtIsServerListening(nullptr));
}

}  // namespace
