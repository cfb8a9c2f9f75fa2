// The stop worker runs the shut-down while the request worker still serves
// status, start and stop requests on the same servers (also run under
// ThreadSanitizer).
#include <atomic>

#include "external/telmo_config_requests.h"

#include "supervision/launch.h"
#include "request_support.h"

namespace telmo::test {
namespace {

TEST(RequestRace, ShutDownWhileRequestsAreServed) {
  ManagerNode manager;
  const std::vector<std::string> services = {"RACE_A", "RACE_B"};
  for (const auto& service : services) {
    ServerRecord& server =
        manager.AddServer("Race " + service, service, {manager.ServingComponent("Gateway", service, service)});
    StatusBlock status{};
    TELMO_MGMT_StartServer(server, status);
    ASSERT_TRUE(manager.WaitReady(service));
  }
  RequestWorker worker(manager);

  std::atomic<bool> shut_down{false};
  std::atomic<int> sent{0}, answered{0}, closed{0}, refused_after{0};
  std::thread requester([&] {
    TelmoClient client = RequestWorker::Connect();
    for (int rounds_after = 0; rounds_after < 2;) {
      const bool after = shut_down.load();
      for (const std::int32_t tt :
           {TELMO_TT_GET_SERVER_STATUS, TELMO_TT_START_SERVER, TELMO_TT_GET_SERVER_STATUS_V1, TELMO_TT_STOP_SERVER}) {
        for (const auto& service : services) {
          ++sent;
          auto reply = ServerRequest(client, tt, service);
          if (!reply.ok()) {
            ++closed;
            client = RequestWorker::Connect();
            continue;
          }
          ++answered;
          if (after && reply->status.holds(kFacilityManagement, 15017)) ++refused_after;
        }
      }
      if (after) ++rounds_after;
    }
  });

  std::this_thread::sleep_for(300ms);
  unsigned result = 99;
  std::thread stopper([&] {
    const int action = SERVICE_ACTION_STOP;
    result = WorkerThread(&action);
    shut_down = true;
  });
  stopper.join();
  requester.join();
  worker.Stop();

  EXPECT_EQ(result, 0u);
  EXPECT_EQ(answered + closed, sent.load());
  EXPECT_GT(answered.load(), 0);
  EXPECT_EQ(refused_after.load(), 2 * 4 * 2);  // once the table is gone, no server is found
  EXPECT_TRUE(gServerTable.empty());
  EXPECT_EQ(gWorkerCount.load(), 0);
  for (const auto& service : services) {
    EXPECT_TRUE(Eventually([&] { return platform::FindMarkedProcesses(service).empty(); })) << service;
    EXPECT_TRUE(fs::exists(manager.node.mgmt_dir() / (service + ".csd"))) << service;
  }
}

// Configuration requests hold the table mutex over every use of a record: the
// stop worker frees the table under them.
TEST(RequestRace, ShutDownWhileConfigurationRequestsAreServed) {
  ManagerNode manager;
  const std::vector<std::string> services = {"CFG_A", "CFG_B", "CFG_C"};
  for (const auto& service : services) {
    manager.AddServer("Config " + service, service, {manager.ServingComponent("Gateway", service, service)});
  }
  RequestWorker worker(manager);

  std::atomic<bool> shut_down{false};
  std::atomic<int> sent{0}, answered{0}, closed{0};
  std::thread requester([&] {
    TelmoClient client = RequestWorker::Connect();
    const auto ask = [&](std::int32_t tt, const std::vector<std::uint8_t>& payload) {
      ++sent;
      if (client.Request(tt, payload, 15s).ok()) {
        ++answered;
      } else {
        ++closed;
        client = RequestWorker::Connect();
      }
    };
    for (int rounds_after = 0; rounds_after < 2;) {
      const bool after = shut_down.load();
      for (const auto& service : services) {
        ask(TELMO_TT_GET_SERVER_CONFIGURATION, mgmt::EncodeServiceRequest(service).value());
        ServerConfiguration c;
        c.name = "Changed " + service;
        c.dlgp_service = Text32(service);
        c.components.push_back({"Gateway", Text32(service), 0, "gw", "-", 0, 0, 0, 0});
        ask(TELMO_TT_MODIFY_SERVER_CONFIGURATION, mgmt::EncodeConfigurationRequest(service, false, c).value());
        ask(TELMO_TT_REMOVE_SERVER, mgmt::EncodeRemoveRequest(service, false).value());
      }
      if (after) ++rounds_after;
    }
  });

  std::this_thread::sleep_for(200ms);
  std::thread stopper([&] {
    const int action = SERVICE_ACTION_STOP;
    WorkerThread(&action);
    shut_down = true;
  });
  stopper.join();
  requester.join();
  worker.Stop();

  EXPECT_EQ(answered + closed, sent.load());
  EXPECT_GT(answered.load(), 0);
}

}  // namespace
}  // namespace telmo::test
