// The envelope of the named requests (TT 15) and what their handlers share.
#include "requests/named_requests.h"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdint>
#include <limits>

#include "config/globals.h"
#include "config/manager_state.h"
#include "config/manager_log.h"
#include "external/telmo_log.h"
#include "platform/sync.h"
#include "requests/handlers.h"
#include "util/text.h"

namespace telmo::requests {
namespace {

enum class Requesters { kAny, kLocalOnly };

struct NamedAction {
  std::string_view name;
  NamedHandler handler;
  /// Local only: a request from another node is dropped without a reply or a line.
  Requesters requesters = Requesters::kAny;
};

// The actions, in the order their names are compared (exactly, letter case
// included). A new action is one line here, at its place in that order.
constexpr std::array kNamedActions{
    NamedAction{"GetWatchDogData", HandleGetWatchDogData},
    NamedAction{"GetWatchDogDataReply", HandleGetWatchDogDataReply},
    NamedAction{"CreateTasks", HandleCreateTasks, Requesters::kLocalOnly},
    NamedAction{"telmo_c_ParamsSet", HandleParamsSet, Requesters::kLocalOnly},
    NamedAction{"GetSNFEnabledFlag", HandleGetSNFEnabledFlag},
    NamedAction{"SetHealthCheckFlag", HandleSetHealthCheckFlag},
    NamedAction{"AgreeOnPort", HandleAgreeOnPort},
    NamedAction{"NoWriteOption", HandleNoWriteOption},
    NamedAction{"ListOpcUaEndPoints", HandleListOpcUaEndPoints},
    NamedAction{"ListProcessDataSources", HandleListProcessDataSources},
    NamedAction{"EnumerateServers", HandleEnumerateServers},
    NamedAction{"EnumerateDLGPServices", HandleEnumerateDLGPServices},
    NamedAction{"GetRemoteServicePort", HandleGetRemoteServicePort},
    // Actions of this manager's own go after the ones above.
    NamedAction{"GetProcessStatus", HandleGetProcessStatus},
};

constexpr std::size_t kEnvelopeLine = 256;
constexpr std::uint32_t kNamedReplyTimeout = 100;

}  // namespace

std::optional<std::string_view> NamedRequest::Text(std::size_t max_length) {
  const auto text = texts.Next();
  if (!text || text->size() > max_length) return std::nullopt;
  return text;
}

std::span<const std::uint8_t> NamedRequest::Rest() const { return data.subspan(std::min(texts.offset(), data.size())); }

std::string HandlerLine(std::size_t buffer_size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string line = VFormat(format, args);
  va_end(args);
  if (buffer_size > 0 && line.size() >= buffer_size) line.resize(buffer_size - 1);
  return line;
}

void SendNamedReply(NamedRequest& request, std::span<const std::uint8_t> data) {
  SendNamedReply(request, data, StatusBlock{});
}

void SendNamedReply(NamedRequest& request, std::span<const std::uint8_t> data, const StatusBlock& status) {
  StatusBlock block;
  TelmoMessage reply;
  if (data.size() > std::numeric_limits<std::uint32_t>::max() ||
      !TELMO_SERVER_BLD_MSG(request.type, request.name, static_cast<std::uint32_t>(data.size()), data, reply, block)) {
    // A reply that cannot be built (a listing larger than a frame) is still
    // answered: with no data and the reason, so the requester is not left
    // waiting for its time-out.
    StatusBlock scratch;
    TELMO_SERVER_LOGBLK(kOwnServiceName, block, scratch);
    if (!TELMO_SERVER_BLD_MSG(request.type, request.name, 0, {}, reply, scratch)) return;
    reply.status = block;
  } else {
    reply.status = status;
  }
  TELMO_SERVER_SET_TRANSNUM(reply, TELMO_SERVER_TRANSNUM(request.context.request));
  TELMO_SERVER_SEND(kNamedReplyTimeout, reply, block);
}

void SendShortReply(NamedRequest& request, std::initializer_list<std::string_view> texts) {
  const auto block = mgmt::BuildShortReply(texts);
  SendNamedReply(request, block);
}

void HandleNamedRequest(RequestContext& context) {
  platform::CriticalSectionLock lock(gProcessTable.lock);
  NamedRequest request(context);
  std::uint32_t length = 0;
  if (!TELMO_SERVER_PARSE_MSG(context.request, request.type, request.name, length, request.data, context.general)) {
    LogAndClear(context.general);
    return;
  }
  request.texts = mgmt::TextReader(request.data);
  // The action name is the first text; one that is not terminated within the
  // payload names no action.
  const auto action = request.texts.Next();
  const Text32 action_field(action.value_or(std::string_view()));
  request.transnum = TELMO_SERVER_TRANSNUM(context.request);
  if (DiagnosticsWanted()) {
    DiagLine(kTraceCategory, 3003,
             HandlerLine(kEnvelopeLine, ">>>_TT_MSG: TT=[%d] Requester=[%s,%s], Action=[%s], Transnum=[%lu]\n",
                         context.tt, context.requester.node.c_str(), context.requester.user.c_str(),
                         action_field.c_str(), static_cast<unsigned long>(request.transnum)));
  }
  if (!action) return;
  request.action = *action;
  for (const NamedAction& entry : kNamedActions) {
    if (entry.name != *action) continue;
    if (entry.requesters == Requesters::kLocalOnly && !RequesterIsLocal(context.requester)) return;
    entry.handler(request);
    return;
  }
}

}  // namespace telmo::requests
