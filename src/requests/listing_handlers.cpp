// The listing actions of the named-request envelope.
#include "config/globals.h"
#include "requests/listings.h"
#include "requests/named_requests.h"

namespace telmo::requests {
namespace {

void Answer(NamedRequest& request, const ListingAnswer& answer) {
  if (!answer.send) return;
  SendNamedReply(request, answer.data, answer.status);
}

void RunProgram(NamedRequest& request, const ListingProgram& program) {
  const auto arguments = request.Text();
  if (!arguments) return;
  Answer(request, RunListingProgram(program, *arguments));
}

}  // namespace

void HandleListOpcUaEndPoints(NamedRequest& request) { RunProgram(request, kOpcUaEndPointsProgram); }
void HandleListProcessDataSources(NamedRequest& request) { RunProgram(request, kProcessDataSourcesProgram); }
void HandleEnumerateServers(NamedRequest& request) { Answer(request, EnumerateServers(gServerTable)); }
void HandleEnumerateDLGPServices(NamedRequest& request) { Answer(request, EnumerateDlgpServices(gServerTable)); }

}  // namespace telmo::requests
