// Named requests (TT 15). Their payload carries an action name and the
// action's texts instead of a fixed structure; the envelope reads the name
// and hands the request to the action's handler, holding the process table
// lock around the whole of it.
//
// Adding an action: write its handler (void HandleX(NamedRequest&)) in the
// file of its group, declare it below, and give it one line in the action
// table of named_requests.cpp, where the order in which names are compared is
// kept.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "external/telmo_mgmt.h"
#include "external/telmo_server.h"
#include "requests/worker.h"

namespace telmo::requests {

/// One named request as its handler sees it.
struct NamedRequest {
  explicit NamedRequest(RequestContext& request_context) : context(request_context) {}

  RequestContext& context;
  std::int32_t type = 0;          ///< message type, handed back with the reply
  TelmoNameBlock name{};          ///< name block, handed back with the reply
  std::string_view action;        ///< the action name
  std::span<const std::uint8_t> data;  ///< the whole data, action name first
  mgmt::TextReader texts{{}};     ///< the action's texts, from the one after the action name
  std::uint32_t transnum = 0;     ///< the request's transaction number

  /// The next text when it is there, terminated within the payload and at
  /// most `max_length` characters long; else nullopt, and the handler drops
  /// the request: no reply, nothing changed.
  [[nodiscard]] std::optional<std::string_view> Text(std::size_t max_length = SIZE_MAX);
  /// The bytes after the texts read so far.
  [[nodiscard]] std::span<const std::uint8_t> Rest() const;
};

using NamedHandler = void (*)(NamedRequest&);

/// The envelope of TT 15 (the worker's dispatch calls it).
void HandleNamedRequest(RequestContext& context);

/// Sends `data` as the reply of a named request: the request's message type,
/// name block and transaction number, time-out argument 100. When no reply
/// can be built nothing is sent or logged; the send's outcome is not looked at.
void SendNamedReply(NamedRequest& request, std::span<const std::uint8_t> data);
/// The same with a failure the reply carries in its status (the listings).
void SendNamedReply(NamedRequest& request, std::span<const std::uint8_t> data, const StatusBlock& status);
/// The 64-byte short reply holding `texts`.
void SendShortReply(NamedRequest& request, std::initializer_list<std::string_view> texts);

/// A line of a named-request handler, formatted into a buffer of
/// `buffer_size` bytes as the handlers have always done (cut to fit).
[[nodiscard]] std::string HandlerLine(std::size_t buffer_size, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// named_handlers.cpp
void HandleCreateTasks(NamedRequest& request);
void HandleParamsSet(NamedRequest& request);  // "telmo_c_ParamsSet"
void HandleGetSNFEnabledFlag(NamedRequest& request);
void HandleSetHealthCheckFlag(NamedRequest& request);
void HandleAgreeOnPort(NamedRequest& request);
void HandleNoWriteOption(NamedRequest& request);
void HandleGetRemoteServicePort(NamedRequest& request);
// process_status.cpp: this manager's own extension
void HandleGetProcessStatus(NamedRequest& request);
// listing_handlers.cpp
void HandleListOpcUaEndPoints(NamedRequest& request);
void HandleListProcessDataSources(NamedRequest& request);
void HandleEnumerateServers(NamedRequest& request);
void HandleEnumerateDLGPServices(NamedRequest& request);
// watchdog_requests.cpp
void HandleGetWatchDogData(NamedRequest& request);
void HandleGetWatchDogDataReply(NamedRequest& request);

/// The state the named requests keep for the life of the process, back as at
/// start: the one-shot client-log lines armed, the no-write mode not asked,
/// the registry view not asked (tests).
void ResetNamedRequestState();

}  // namespace telmo::requests
