// Frame encode/decode, and request round trips over loopback against an
// in-process server loop built on TELMO_SERVER_ACCEPT/RECEIVE/SEND.
//   ./bench/transport_bench
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/socket.h"
#include "external/telmo_client.h"
#include "external/telmo_frame.h"
#include "external/telmo_server.h"
#include "external/telmo_services.h"

namespace {

using namespace std::chrono_literals;

TelmoMessage Sample(std::size_t payload) {
  TelmoMessage m;
  m.kind = MessageKind::kReply;
  m.tt = TELMO_TT_GET_SERVER_STATUS;
  m.transnum = 12345;
  m.requester = {telmo::Text32("NODE01"), telmo::Text32("operator")};
  TELMO_SERVER_LDBLK(15, 15017, m.status);
  m.payload.assign(payload, 0x5A);
  return m;
}

void BM_EncodeFrame(benchmark::State& state) {
  const auto m = Sample(static_cast<std::size_t>(state.range(0)));
  std::vector<std::uint8_t> out;
  for (auto _ : state) {
    out.clear();
    benchmark::DoNotOptimize(telmo::wire::AppendFrame(m, out));
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(out.size()));
}
BENCHMARK(BM_EncodeFrame)->Arg(0)->Arg(64)->Arg(4096)->Arg(65536);

void BM_DecodeFrame(benchmark::State& state) {
  std::vector<std::uint8_t> bytes;
  (void)telmo::wire::AppendFrame(Sample(static_cast<std::size_t>(state.range(0))), bytes);
  for (auto _ : state) {
    TelmoMessage m;
    benchmark::DoNotOptimize(telmo::wire::DecodeFrame(bytes, m));
    benchmark::DoNotOptimize(m.payload.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(bytes.size()));
}
BENCHMARK(BM_DecodeFrame)->Arg(0)->Arg(64)->Arg(4096)->Arg(65536);

// A temporary node with an echo service served by the process-wide server.
class EchoNode {
 public:
  EchoNode() {
    char tmpl[] = "/tmp/telmo-bench-XXXXXX";
    root_ = ::mkdtemp(tmpl);
    ::setenv("TELMO_STATE_DIR", (root_ + "/state").c_str(), 1);
    ::setenv("TELMO_LOG_DIR", (root_ + "/log").c_str(), 1);
    ::setenv("TELMO_NODE", "BENCHNODE", 1);
    ::setenv("TELMO_LISTEN", "127.0.0.1", 1);
    ::unsetenv("TELMO_SERVICES_FILE");
    int port = 0;
    if (auto probe = telmo::platform::ListenOn("127.0.0.1", 0)) port = telmo::platform::LocalPort(*probe);
    AddServiceToFile("BENCHECHO", port);
    telmo::Text32 node;
    StatusBlock block;
    TELMO_SERVER_INIT(1, "BENCHECHO", node, block);
    thread_ = std::thread([this] {
      StatusBlock b;
      while (!stop_) {
        TELMO_SERVER_ACCEPT(b);
        TelmoMessage request;
        if (TELMO_SERVER_RECEIVE(1, request, b) > 0) telmo::ServerReply(10, request, {}, request.payload, b);
      }
    });
    TELMO_SERVER_ACCEPT(block);  // bound before the first client
  }
  ~EchoNode() {
    stop_ = true;
    thread_.join();
    StatusBlock block;
    TELMO_SERVER_EXIT(block);
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  telmo::Endpoint endpoint() const { return telmo::ResolveService("", "BENCHECHO").value(); }

 private:
  std::string root_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

void BM_RoundTripPersistent(benchmark::State& state) {
  EchoNode node;
  auto client = telmo::TelmoClient::Connect(node.endpoint(), 2s);
  if (!client) {
    state.SkipWithError("cannot connect");
    return;
  }
  const std::vector<std::uint8_t> payload(static_cast<std::size_t>(state.range(0)), 1);
  for (auto _ : state) {
    auto reply = client->Request(1, payload, 5s);
    if (!reply) {
      state.SkipWithError("request failed");
      break;
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_RoundTripPersistent)->Arg(32)->Arg(4096)->UseRealTime();

void BM_RoundTripConnectionPerRequest(benchmark::State& state) {
  EchoNode node;
  const auto endpoint = node.endpoint();
  const std::vector<std::uint8_t> payload(32, 1);
  for (auto _ : state) {
    auto reply = telmo::RequestOnce(endpoint, 1, payload, 5s);
    if (!reply) {
      state.SkipWithError("request failed");
      break;
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_RoundTripConnectionPerRequest)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
