#include "manager_client.h"

#include <chrono>
#include <cstdio>

#include "config/manager_state.h"
#include "external/telmo_services.h"
#include "platform/environment.h"
#include "platform/win_error.h"
#include "util/text.h"

namespace telmoctl {
namespace {

std::chrono::milliseconds Timeout(const Console& console) {
  return std::chrono::milliseconds(static_cast<long long>(console.timeout * 1000));
}

std::string ErrorText(std::uint32_t error) {
  if (error == telmo::kErrorHostNotFound) return "the node's name does not resolve";
  const auto text = telmo::platform::SystemMessage(error);
  return text ? std::string(telmo::Trim(*text)) : telmo::Format("error %u", error);
}

int Unreachable(const Console& console, const telmo::Endpoint& endpoint, std::uint32_t error, int& exit_code) {
  exit_code = kUnreachable;
  return Fail(console, kUnreachable,
              telmo::Format("no TELMO Manager answered on %s:%d (%s)", endpoint.host.c_str(), endpoint.port,
                            ErrorText(error).c_str()),
              {{"host", endpoint.host}, {"port", endpoint.port}});
}

}  // namespace

std::optional<telmo::Endpoint> ManagerEndpoint(const Console& console, int& exit_code) {
  if (console.port > 0) {
    std::string host = console.node;
    if (host.empty() || host == telmo::LocalNodeName()) {
      host = telmo::platform::LookupConfig("TELMO_LISTEN").value_or("127.0.0.1");
      if (host == "0.0.0.0") host = "127.0.0.1";
      if (host == "::") host = "::1";
    }
    return telmo::Endpoint{host, console.port};
  }
  auto endpoint = telmo::ResolveService(console.node, kOwnServiceName);
  if (!endpoint) {
    exit_code = Fail(console, kUnreachable,
                     telmo::Format("cannot find the TELMO Manager of node '%s': %s (services file %s; use --port)",
                                   console.node.c_str(), ErrorText(endpoint.error()).c_str(),
                                   telmo::ServicesFilePath().c_str()));
    return std::nullopt;
  }
  return endpoint.value();
}

std::optional<TelmoMessage> AskManager(const Console& console, std::int32_t tt, std::span<const std::uint8_t> payload,
                                       int& exit_code) {
  const auto endpoint = ManagerEndpoint(console, exit_code);
  if (!endpoint) return std::nullopt;
  auto reply = telmo::RequestOnce(*endpoint, tt, payload, Timeout(console));
  if (!reply) {
    Unreachable(console, *endpoint, reply.error(), exit_code);
    return std::nullopt;
  }
  return std::move(reply.value());
}

namespace {

/// The endpoint and a connection to it.
std::optional<std::pair<telmo::Endpoint, telmo::TelmoClient>> Connect(const Console& console, int& exit_code) {
  auto endpoint = ManagerEndpoint(console, exit_code);
  if (!endpoint) return std::nullopt;
  auto client = telmo::TelmoClient::Connect(*endpoint, Timeout(console));
  if (!client) {
    Unreachable(console, *endpoint, client.error(), exit_code);
    return std::nullopt;
  }
  return std::pair{std::move(*endpoint), std::move(client.value())};
}

}  // namespace

std::optional<telmo::TelmoClient> ConnectManager(const Console& console, int& exit_code) {
  auto connected = Connect(console, exit_code);
  if (!connected) return std::nullopt;
  return std::move(connected->second);
}

std::optional<TelmoMessage> TellThenAsk(const Console& console, std::int32_t tell_tt,
                                        std::span<const std::uint8_t> tell_payload, std::int32_t ask_tt,
                                        std::span<const std::uint8_t> ask_payload, int& exit_code) {
  auto connected = Connect(console, exit_code);
  if (!connected) return std::nullopt;
  auto& [endpoint, client] = *connected;
  if (auto posted = client.Post(tell_tt, tell_payload, Timeout(console)); !posted) {
    Unreachable(console, endpoint, posted.error(), exit_code);
    return std::nullopt;
  }
  auto reply = client.Request(ask_tt, ask_payload, Timeout(console));
  if (!reply) {
    Unreachable(console, endpoint, reply.error(), exit_code);
    return std::nullopt;
  }
  return std::move(reply.value());
}

nlohmann::json StatusJson(const StatusBlock& status) {
  nlohmann::json codes = nlohmann::json::array();
  for (std::uint32_t i = 0; i < status.count; ++i) {
    codes.push_back({{"facility", status.codes[i].facility},
                     {"code", status.codes[i].code},
                     {"text", TELMO_StatusText(status.codes[i].facility, status.codes[i].code)}});
  }
  return {{"ok", !status.failed()}, {"codes", codes}};
}

int FailStatus(const Console& console, const StatusBlock& status, const std::string& what, nlohmann::json extra) {
  std::string message = what + " failed:";
  for (std::uint32_t i = 0; i < status.count; ++i) {
    message += telmo::Format(" (%d,%d) %s;", status.codes[i].facility, status.codes[i].code,
                             TELMO_StatusText(status.codes[i].facility, status.codes[i].code).c_str());
  }
  if (!extra.is_object()) extra = nlohmann::json::object();
  extra["codes"] = StatusJson(status)["codes"];
  return Fail(console, kFailed, message, extra);
}

}  // namespace telmoctl
