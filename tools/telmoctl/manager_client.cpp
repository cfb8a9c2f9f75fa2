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

void Unreachable(const telmo::Endpoint& endpoint, std::uint32_t error) {
  std::fprintf(stderr, "telmoctl: no TELMO Manager answered on %s:%d (%s)\n", endpoint.host.c_str(), endpoint.port,
               ErrorText(error).c_str());
}

}  // namespace

std::optional<telmo::Endpoint> ManagerEndpoint(const Console& console) {
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
    std::fprintf(stderr, "telmoctl: cannot find the TELMO Manager of node '%s': %s (services file %s; use --port)\n",
                 console.node.c_str(), ErrorText(endpoint.error()).c_str(), telmo::ServicesFilePath().c_str());
    return std::nullopt;
  }
  return endpoint.value();
}

std::optional<TelmoMessage> AskManager(const Console& console, std::int32_t tt, std::span<const std::uint8_t> payload,
                                       int& exit_code) {
  const auto endpoint = ManagerEndpoint(console);
  if (!endpoint) {
    exit_code = kUnreachable;
    return std::nullopt;
  }
  auto reply = telmo::RequestOnce(*endpoint, tt, payload, Timeout(console));
  if (!reply) {
    Unreachable(*endpoint, reply.error());
    exit_code = kUnreachable;
    return std::nullopt;
  }
  return std::move(reply.value());
}

std::optional<telmo::TelmoClient> ConnectManager(const Console& console, int& exit_code) {
  const auto endpoint = ManagerEndpoint(console);
  if (!endpoint) {
    exit_code = kUnreachable;
    return std::nullopt;
  }
  auto client = telmo::TelmoClient::Connect(*endpoint, Timeout(console));
  if (!client) {
    Unreachable(*endpoint, client.error());
    exit_code = kUnreachable;
    return std::nullopt;
  }
  return std::move(client.value());
}

std::optional<TelmoMessage> TellThenAsk(const Console& console, std::int32_t tell_tt,
                                        std::span<const std::uint8_t> tell_payload, std::int32_t ask_tt,
                                        std::span<const std::uint8_t> ask_payload, int& exit_code) {
  auto client = ConnectManager(console, exit_code);
  if (!client) return std::nullopt;
  const auto endpoint = ManagerEndpoint(console);
  if (auto posted = client->Post(tell_tt, tell_payload, Timeout(console)); !posted) {
    Unreachable(*endpoint, posted.error());
    exit_code = kUnreachable;
    return std::nullopt;
  }
  auto reply = client->Request(ask_tt, ask_payload, Timeout(console));
  if (!reply) {
    Unreachable(*endpoint, reply.error());
    exit_code = kUnreachable;
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

int ReportStatus(const Console& console, const StatusBlock& status, const std::string& what) {
  if (!status.failed()) return kSuccess;
  if (!console.json) {
    std::fprintf(stderr, "telmoctl: %s failed:", what.c_str());
    for (std::uint32_t i = 0; i < status.count; ++i) {
      std::fprintf(stderr, " (%d,%d) %s;", status.codes[i].facility, status.codes[i].code,
                   TELMO_StatusText(status.codes[i].facility, status.codes[i].code).c_str());
    }
    std::fprintf(stderr, "\n");
  }
  return kFailed;
}

}  // namespace telmoctl
