// libFuzzer target: the parse calls of the configuration requests over
// arbitrary payload bytes. The first byte chooses the request; the rest is
// the payload, held in a buffer of exactly its size (AddressSanitizer catches
// any read past it). Property: what a parse call accepts encodes and decodes
// back to the same request (the bytes of a name field after its NUL are not
// kept), and what it refuses leaves its outputs untouched.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "external/telmo_config_requests.h"
#include "external/telmo_mgmt.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

[[noreturn]] void Broken(const char* what) {
  std::fprintf(stderr, "property broken: %s\n", what);
  std::abort();
}

TelmoMessage Request(std::int32_t tt, const std::uint8_t* data, std::size_t size) {
  TelmoMessage m;
  m.tt = tt;
  m.payload.assign(data, data + size);
  return m;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t input_size) {
  if (input_size == 0) return 0;
  const std::uint8_t choice = input[0] % 5;
  // A copy of exactly the payload's size: the parse calls get no slack.
  const Bytes copy(input + 1, input + input_size);
  const std::uint8_t* data = copy.data();
  const std::size_t size = copy.size();
  StatusBlock block;
  switch (choice) {
    case 0: {
      telmo::Text32 service("untouched");
      std::uint8_t add = 7;
      ServerConfiguration configuration;
      configuration.name = "untouched";
      if (TELMO_MGMT_PARSE_SETSERVCONFREQ(Request(TELMO_TT_ADD_SERVER, data, size), service, add, configuration,
                                          block)) {
        auto bytes = telmo::mgmt::EncodeConfigurationRequest(service.view(), add == 1, configuration);
        auto again = bytes ? telmo::mgmt::DecodeConfigurationRequest(*bytes) : telmo::Error{1};
        if (!again || again->service != service || again->add != (add == 1) || again->configuration != configuration) {
          Broken("configuration request");
        }
      } else if (service != "untouched" || add != 7 || configuration.name != "untouched") {
        Broken("a refused configuration request changed its outputs");
      }
      break;
    }
    case 1: {
      auto decoded = telmo::mgmt::DecodeServerConfiguration(copy);
      if (decoded) {
        auto bytes = telmo::mgmt::EncodeServerConfiguration(*decoded);
        if (!bytes || telmo::mgmt::DecodeServerConfiguration(*bytes).value() != *decoded) Broken("configuration reply");
      }
      break;
    }
    case 2: {
      telmo::Text32 service;
      std::uint8_t flag = 5;
      if (TELMO_MGMT_PARSE_REMOVESRVREQ2(Request(TELMO_TT_REMOVE_SERVER, data, size), service, flag, block)) {
        const std::optional<bool> sent = size > 32 ? std::optional<bool>(flag == 1) : std::nullopt;
        if (!sent && flag != 5) Broken("a remove request without a flag changed the preset");
        // A name field's bytes after its NUL are not kept: compare the meaning.
        auto again = telmo::mgmt::DecodeRemoveRequest(telmo::mgmt::EncodeRemoveRequest(service.view(), sent).value());
        if (!again || again->service != service) Broken("remove request");
      }
      break;
    }
    case 3: {
      LogicalDevice device;
      if (TELMO_MGMT_PARSE_SETLOGDEVREQ(Request(TELMO_TT_SET_LOGICAL_DEVICE, data, size), device, block)) {
        auto again = telmo::mgmt::EncodeDevice(device.name.view(), {device.values[0].view(), device.values[1].view(),
                                                                    device.values[2].view()});
        if (!again || telmo::mgmt::DecodeDevice(*again).value() != device) Broken("device request");
      }
      break;
    }
    default: {
      telmo::Text32 name;
      TELMO_MGMT_PARSE_DELLOGDEVREQ(Request(TELMO_TT_DEL_LOGICAL_DEVICE, data, size), name, block);
      TELMO_MGMT_PARSE_GETSERVCONFREQ(Request(TELMO_TT_GET_SERVER_CONFIGURATION, data, size), name, block);
      (void)telmo::mgmt::DecodeComponentIndex(copy);
      break;
    }
  }
  return 0;
}
