#include "util/text.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdarg>
#include <cstdio>

namespace telmo {
namespace {
// toupper of the "C" locale (the program never changes its locale), without
// a library call per character: service lookups compare names by the thousand.
unsigned char Up(char c) noexcept {
  const auto u = static_cast<unsigned char>(c);
  return u >= 'a' && u <= 'z' ? static_cast<unsigned char>(u - ('a' - 'A')) : u;
}
}  // namespace

bool EqualsIgnoreCase(std::string_view a, std::string_view b) noexcept {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return Up(x) == Up(y); });
}

bool ContainsIgnoreCase(std::string_view haystack, std::string_view needle) noexcept {
  if (needle.empty()) return true;
  return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end(),
                     [](char x, char y) { return Up(x) == Up(y); }) != haystack.end();
}

std::string ToUpper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(Up(c));
  return out;
}

std::string ToLower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool HasControlCharacter(std::string_view text) noexcept {
  return std::any_of(text.begin(), text.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7F;
  });
}

std::string EscapeControlCharacters(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      case '\t': out += c; continue;  // a tab is as harmless as a blank
      default: break;
    }
    if (u < 0x20 || u == 0x7F) {
      static constexpr char kHex[] = "0123456789abcdef";
      out += "\\x";
      out += kHex[u >> 4];
      out += kHex[u & 0xF];
    } else {
      out += c;
    }
  }
  return out;
}

std::string_view TrimLeft(std::string_view text) noexcept {
  const auto pos = text.find_first_not_of(" \t\r\n");
  return pos == std::string_view::npos ? std::string_view{} : text.substr(pos);
}

std::string_view Trim(std::string_view text) noexcept {
  text = TrimLeft(text);
  const auto pos = text.find_last_not_of(" \t\r\n");
  return pos == std::string_view::npos ? std::string_view{} : text.substr(0, pos + 1);
}

std::size_t BoundedLength(const char* text, std::size_t max) noexcept {
  if (text == nullptr) return 0;
  std::size_t n = 0;
  while (n < max && text[n] != '\0') ++n;
  return n;
}

std::string ReplaceAll(std::string_view text, std::string_view pattern, std::string_view replacement) {
  std::string out;
  if (pattern.empty()) return std::string(text);
  std::size_t from = 0;
  for (std::size_t at = text.find(pattern); at != std::string_view::npos; at = text.find(pattern, from)) {
    out.append(text.substr(from, at - from));
    out.append(replacement);
    from = at + pattern.size();
  }
  out.append(text.substr(from));
  return out;
}

std::size_t ReplaceAllInPlace(std::string& text, std::string_view pattern, std::string_view replacement) {
  if (pattern.empty()) return 0;
  std::size_t count = 0;
  for (std::size_t at = text.find(pattern); at != std::string::npos; at = text.find(pattern, at)) {
    ++count;
    at += pattern.size();
  }
  if (count > 0) text = ReplaceAll(text, pattern, replacement);
  return count;
}

std::string VFormat(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string out;
  if (n > 0) {
    out.resize(static_cast<std::size_t>(n));
    std::vsnprintf(out.data(), out.size() + 1, format, args);
  }
  return out;
}

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string out = VFormat(format, args);
  va_end(args);
  return out;
}

namespace {
// Digits after optional white space and sign; `ok` tells whether any digit
// came, `overflow` whether the value left 32 bits (it is then saturated).
int ScanNumber(std::string_view text, bool& ok, bool& overflow) noexcept {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long value = 0;
  ok = false;
  overflow = false;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    ok = true;
    if (!overflow) {
      value = value * 10 + (text[i] - '0');
      if (value > static_cast<long long>(INT_MAX) + 1) overflow = true;
    }
  }
  if (negative) value = -value;
  if (overflow || value > INT_MAX || value < INT_MIN) {
    overflow = true;
    return negative ? INT_MIN : INT_MAX;
  }
  return static_cast<int>(value);
}
}  // namespace

bool ParseInteger(std::string_view text, int& value) noexcept {
  bool ok = false;
  bool overflow = false;
  const int v = ScanNumber(text, ok, overflow);
  if (!ok || overflow) return false;
  value = v;
  return true;
}

int LeadingNumber(std::string_view text) noexcept {
  bool ok = false;
  bool overflow = false;
  return ScanNumber(text, ok, overflow);
}

}  // namespace telmo
