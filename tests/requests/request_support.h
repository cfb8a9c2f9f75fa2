// The request worker in the test process: the manager's own service on a
// free loopback port, WorkerThread serving requests on a thread of its own,
// and clients that claim whatever node a test needs.
#pragma once

#include <optional>
#include <thread>

#include "external/telmo_client.h"
#include "external/telmo_mgmt.h"
#include "external/telmo_server.h"
#include "requests/worker.h"
#include "supervision/supervision_support.h"

namespace telmo::test {

class RequestWorker {
 public:
  /// Lists "TELMOManager", initialises the server side as the service main
  /// does and starts the request worker.
  explicit RequestWorker(ManagerNode& manager) {
    manager.AddService("TELMOManager");
    Text32 node;
    StatusBlock block{};
    EXPECT_EQ(TELMO_SERVER_INIT(1, "TELMOManager", node, block), 1) << block.describe();
    SetLocalNode(node);
    gManagerExiting = false;
    thread_ = std::thread([] {
      const int action = SERVICE_ACTION_PROCESS_REQUESTS;
      WorkerThread(&action);
    });
  }
  ~RequestWorker() { Stop(); }
  RequestWorker(const RequestWorker&) = delete;
  RequestWorker& operator=(const RequestWorker&) = delete;

  /// Sets the exit flag and waits for the worker (it notices within one receive).
  void Stop() {
    if (!thread_.joinable()) return;
    gManagerExiting = true;
    thread_.join();
    StatusBlock block{};
    TELMO_SERVER_EXIT(block);
  }

  /// A connection to the manager (retried while the worker has not bound
  /// yet), sending as `requester` when given.
  static TelmoClient Connect(const std::optional<IdentityRecord>& requester = std::nullopt) {
    for (int attempt = 0; attempt < 100; ++attempt) {
      auto client = TelmoClient::ConnectService("", "TELMOManager", 2s);
      if (client) {
        if (requester) client->set_requester(*requester);
        return std::move(client).value();
      }
      std::this_thread::sleep_for(50ms);
    }
    ADD_FAILURE() << "the request worker never listened";
    return {};
  }

 private:
  std::thread thread_;
};

inline IdentityRecord Requester(const std::string& node, const std::string& user) {
  return IdentityRecord{Text32(node), Text32(user)};
}

/// A request naming a server by its DLGP service (TT 20, 21, 22, 36).
inline Result<TelmoMessage> ServerRequest(TelmoClient& client, std::int32_t tt, const std::string& service,
                                          std::chrono::milliseconds timeout = 15s) {
  auto payload = mgmt::EncodeServiceRequest(service);
  EXPECT_TRUE(payload.ok());
  return client.Request(tt, payload.value(), timeout);
}

/// The status record of a TT 22 or 36 reply (empty when it does not decode).
inline ServerStatusRecord StatusRecord(const TelmoMessage& reply) {
  auto record = mgmt::DecodeServerStatus(reply.payload, reply.tt == TELMO_TT_GET_SERVER_STATUS_V1);
  EXPECT_TRUE(record.ok());
  return record.ok() ? record.value() : ServerStatusRecord{};
}

}  // namespace telmo::test
