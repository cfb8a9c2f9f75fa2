#include "console.h"

#include <charconv>
#include <cstdio>

#include "util/text.h"

namespace telmoctl {

void PrintJson(const nlohmann::json& document) {
  const std::string text = document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

int Fail(const Console& console, int exit_code, std::string_view message, const nlohmann::json& extra) {
  std::fprintf(stderr, "telmoctl: %s\n", Printable(message).c_str());
  if (console.json) {
    nlohmann::json document = extra.is_object() ? extra : nlohmann::json::object();
    document["ok"] = false;
    document["exit_code"] = exit_code;
    document["message"] = std::string(message);
    PrintJson(document);
  }
  return exit_code;
}

std::string Printable(std::string_view text, bool keep_lines) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (keep_lines && (c == '\n' || c == '\t')) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    if (c < 0x20 || c == 0x7f) {
      switch (c) {
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case 0x1b: out += "\\e"; break;
        default: out += telmo::Format("\\x%02X", c);
      }
      ++i;
      continue;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    // A UTF-8 sequence passes whole unless it is malformed or a C1 control
    // (U+0080..U+009F, which terminals obey like ESC sequences).
    const std::size_t length = c >= 0xf0 && c <= 0xf4 ? 4 : c >= 0xe0 ? 3 : c >= 0xc2 && c < 0xe0 ? 2 : 0;
    bool valid = length > 0 && i + length <= text.size();
    for (std::size_t k = 1; valid && k < length; ++k) valid = (static_cast<unsigned char>(text[i + k]) & 0xc0) == 0x80;
    if (valid && length == 2 && c == 0xc2 && static_cast<unsigned char>(text[i + 1]) < 0xa0) valid = false;
    if (!valid) {
      out += telmo::Format("\\x%02X", c);
      ++i;
      continue;
    }
    out.append(text.substr(i, length));
    i += length;
  }
  return out;
}

CLI::Validator AtLeastOne() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        long long value = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (ec != std::errc() || end != text.data() + text.size() || value < 1 || value > 2147483647) {
          return "must be a whole number from 1 to 2147483647 (0 or less would stop the node's checks or replies)";
        }
        return {};
      },
      "INT>=1");
}

}  // namespace telmoctl
