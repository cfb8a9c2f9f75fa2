// The base64 codec in which passwords are stored in server files (alphabet of
// RFC 4648, "=" padding, no line breaks) and the growable byte buffer it
// writes into.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace telmo {

/// Encodes bytes (taken as unsigned) to text.
[[nodiscard]] std::string Base64Encode(std::span<const std::uint8_t> bytes);
[[nodiscard]] std::string Base64Encode(std::string_view bytes);

/// Decodes after skipping leading blanks and tabs, stopping at the first
/// character outside the alphabet (padding included). A last group of three
/// characters yields two bytes, of two characters one byte.
[[nodiscard]] std::string Base64Decode(std::string_view text);

}  // namespace telmo
