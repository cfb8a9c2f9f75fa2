// Peers that misbehave cost only themselves: the manager's own request worker
// in this process, real sockets, and consoles that must keep being served.
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "config/globals.h"
#include "external/telmo_bounds.h"
#include "external/telmo_frame.h"
#include "external/telmo_log.h"
#include "requests/request_support.h"

namespace telmo::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

Endpoint ManagerEndpoint() {
  auto ep = ResolveService("", "TELMOManager");
  EXPECT_TRUE(ep);
  return ep ? *ep : Endpoint{};
}

/// Lines of a log that do not start with a time stamp of the writer (a forged line would not).
int ForeignLines(LogKind kind) {
  int n = 0;
  for (const auto& line : ReadLines(LogPath(kind))) n += line.size() < 24 || line[4] != '-' || line[19] != '.';
  return n;
}

TEST(HostilePeers, AConsoleThatDoesNotReadItsRepliesHoldsUpNoOne) {
  ManagerNode manager;
  // A server whose status reply is large (60 KiB): a hundred of them fill any
  // socket buffer.
  std::vector<ComponentSpec> components;
  for (int i = 0; i < 60; ++i) components.push_back({std::string(1000, 'c') + std::to_string(i), "", "/nonexistent", ""});
  manager.AddServer("Big", "BIGSVC", components);
  RequestWorker worker(manager);
  TelmoClient lazy = RequestWorker::Connect();
  const auto status = mgmt::EncodeServiceRequest("BIGSVC");
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(lazy.Post(TELMO_TT_GET_SERVER_STATUS, status.value(), 2s));

  TelmoClient console = RequestWorker::Connect();
  for (int i = 0; i < 20; ++i) {
    auto reply = console.Request(TELMO_TT_GET_MGMT_PARAMS, {}, 3s);
    ASSERT_TRUE(reply) << "request " << i << ": " << reply.error();
  }
  // The one that does not read loses its connection once its replies pile up.
  EXPECT_TRUE(lazy.AwaitClose(10s));
}

TEST(HostilePeers, ForgedNamesNeverReachALogLine) {
  ManagerNode manager;
  manager.node.Set("TELMO_DIAG", "1");
  manager.node.Set("TELMO_TRACE", "1");
  RequestWorker worker(manager);
  const std::string forged = "a\n2099 FORGED";
  for (const IdentityRecord& who : {Requester(forged, "user"), Requester("TESTNODE", forged)}) {
    TelmoClient client = RequestWorker::Connect(who);
    // TT 19 is logged as invalid with its node; TT 20 is logged with both names.
    EXPECT_FALSE(client.Request(19, {}, 2s));
    TelmoClient again = RequestWorker::Connect(who);
    EXPECT_FALSE(ServerRequest(again, TELMO_TT_START_SERVER, "NOSUCH", 2s));
  }
  TelmoClient clean = RequestWorker::Connect();
  ASSERT_TRUE(ServerRequest(clean, TELMO_TT_START_SERVER, "NOSUCH", 5s));  // the diagnostic line is written
  worker.Stop();
  EXPECT_GE(LogCount("Closing connection from 127.0.0.1"), 1);
  for (const LogKind kind : {LogKind::kManagement, LogKind::kDiagnostic, LogKind::kTrace}) {
    EXPECT_EQ(ForeignLines(kind), 0) << ReadFile(LogPath(kind));
    EXPECT_EQ(Occurrences(LogPath(kind), "FORGED"), 0) << ReadFile(LogPath(kind));
  }
}

/// A non-loopback address of this host (IPv4), or "" when it has none.
std::string OwnLanAddress() {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return {};
  std::string found;
  for (const ifaddrs* a = list; a != nullptr && found.empty(); a = a->ifa_next) {
    if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET) continue;
    char host[NI_MAXHOST] = {};
    if (::getnameinfo(a->ifa_addr, sizeof(sockaddr_in), host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0) continue;
    if (!IsLoopbackAddress(host)) found = host;
  }
  ::freeifaddrs(list);
  return found;
}

TEST(HostilePeers, AConsoleOnTheHostIsThisNodeWhenTheManagerListensOnALanAddress) {
  const std::string lan = OwnLanAddress();
  if (lan.empty()) GTEST_SKIP() << "this host has no address but loopback";
  ManagerNode manager;
  manager.node.Set("TELMO_LISTEN", lan);
  RequestWorker worker(manager);
  TelmoClient console = RequestWorker::Connect();
  // SET_MGMT_PARAMS gets no reply; the GET after it on the same connection
  // tells whether it was taken (a remote requester is refused).
  ASSERT_TRUE(console.Post(TELMO_TT_SET_MGMT_PARAMS, mgmt::EncodeMgmtParams({250, 90}), 2s));
  auto reply = console.Request(TELMO_TT_GET_MGMT_PARAMS, {}, 5s);
  ASSERT_TRUE(reply);
  const auto params = mgmt::DecodeMgmtParams(reply->payload);
  ASSERT_TRUE(params);
  EXPECT_EQ(params->timeout, 250);
  EXPECT_EQ(params->check_period, 90);
  worker.Stop();
  gMgmtParameters.timeout = MgmtParameters::kDefaultTimeout;
  gMgmtParameters.check_period = MgmtParameters::kDefaultCheckPeriod;
}

// Resident memory of this process, in bytes.
std::size_t Resident() {
  std::ifstream statm("/proc/self/statm");
  std::size_t pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

TEST(HostilePeers, MemoryHeldForPeersIsBoundedAndGivenBack) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers' allocators keep freed memory in quarantine";
#endif
  ManagerNode manager;
  RequestWorker worker(manager);
  const Endpoint ep = ManagerEndpoint();
  {
    TelmoClient warm = RequestWorker::Connect();
    ASSERT_TRUE(warm.Request(TELMO_TT_GET_MGMT_PARAMS, {}, 5s));
  }
  const std::size_t idle = Resident();

  // Forty unfinished server configurations of almost 1 MiB each, and forty
  // requests that declare 4 MiB where a name is due: more than the bound.
  TelmoMessage m;
  m.tt = TELMO_TT_ADD_SERVER;
  Bytes big;
  ASSERT_TRUE(wire::AppendFrame(m, big));
  const std::uint32_t declared = 1000u << 10;
  std::memcpy(&big[152], &declared, 4);
  big.resize(wire::kHeaderSize + declared - 1024, 0x5A);
  Bytes liar(big.begin(), big.begin() + wire::kHeaderSize);
  const std::uint32_t four = wire::kMaxPayload;
  std::memcpy(&liar[152], &four, 4);
  liar[8] = TELMO_TT_START_SERVER;
  std::vector<TelmoClient> peers;
  for (int i = 0; i < 40; ++i) {
    auto a = TelmoClient::Connect(ep, 2s);
    auto b = TelmoClient::Connect(ep, 2s);
    ASSERT_TRUE(a && b);
    (void)a->SendRaw(big, 5s);
    (void)b->SendRaw(liar, 1s);
    peers.push_back(std::move(*a));
    peers.push_back(std::move(*b));
  }
  std::this_thread::sleep_for(300ms);
  const std::size_t peak = Resident();
  EXPECT_LT(peak, idle + wire::kServerHeldBound + (16u << 20)) << "idle " << idle << ", with the peers " << peak;

  peers.clear();
  std::size_t after = Resident();
  const auto until = std::chrono::steady_clock::now() + 5s;
  while (after > idle + (8u << 20) && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(100ms);
    after = Resident();
  }
  EXPECT_LT(after, idle + (8u << 20)) << "idle " << idle << ", peak " << peak << ", after " << after;
}

}  // namespace
}  // namespace telmo::test
