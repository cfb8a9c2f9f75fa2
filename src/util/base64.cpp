#include "util/base64.h"

#include <array>

namespace telmo {
namespace {

constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint8_t kNotInAlphabet = 0xFF;

constexpr std::array<std::uint8_t, 256> MakeDecodeTable() {
  std::array<std::uint8_t, 256> table{};
  table.fill(kNotInAlphabet);
  for (std::size_t i = 0; i < kAlphabet.size(); ++i) {
    table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::uint8_t>(i);
  }
  return table;
}

constexpr std::array<std::uint8_t, 256> kDecode = MakeDecodeTable();

std::uint8_t SextetOf(char c) noexcept { return kDecode[static_cast<unsigned char>(c)]; }

}  // namespace

std::string Base64Encode(std::span<const std::uint8_t> bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t group = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
    out += kAlphabet[(group >> 18) & 0x3F];
    out += kAlphabet[(group >> 12) & 0x3F];
    out += kAlphabet[(group >> 6) & 0x3F];
    out += kAlphabet[group & 0x3F];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t group = std::uint32_t{bytes[i]} << 16;
    if (rest == 2) group |= std::uint32_t{bytes[i + 1]} << 8;
    out += kAlphabet[(group >> 18) & 0x3F];
    out += kAlphabet[(group >> 12) & 0x3F];
    out += rest == 2 ? kAlphabet[(group >> 6) & 0x3F] : '=';
    out += '=';
  }
  return out;
}

std::string Base64Encode(std::string_view bytes) {
  return Base64Encode(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

std::string Base64Decode(std::string_view text) {
  std::size_t start = 0;
  while (start < text.size() && (text[start] == ' ' || text[start] == '\t')) ++start;
  std::size_t end = start;
  while (end < text.size() && SextetOf(text[end]) != kNotInAlphabet) ++end;
  const std::string_view digits = text.substr(start, end - start);

  std::string out;
  out.reserve(digits.size() / 4 * 3 + 2);
  std::uint32_t group = 0;
  int count = 0;
  for (const char c : digits) {
    group = (group << 6) | SextetOf(c);
    if (++count == 4) {
      out += static_cast<char>((group >> 16) & 0xFF);
      out += static_cast<char>((group >> 8) & 0xFF);
      out += static_cast<char>(group & 0xFF);
      group = 0;
      count = 0;
    }
  }
  // A short last group: three characters carry two bytes, two carry one; a
  // lone character carries too few bits for a byte and yields nothing.
  if (count == 3) {
    out += static_cast<char>((group >> 10) & 0xFF);
    out += static_cast<char>((group >> 2) & 0xFF);
  } else if (count == 2) {
    out += static_cast<char>((group >> 4) & 0xFF);
  }
  return out;
}

}  // namespace telmo
