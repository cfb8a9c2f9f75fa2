#include "external/telmo_text.h"

#include "util/text.h"

std::string TELMO_FILTER_CRLF(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c != '\r' && c != '\n') out += c;
  }
  return out;
}

std::string telmo_upper(std::string_view text) { return telmo::ToUpper(text); }
