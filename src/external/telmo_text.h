// Small text calls of the messaging library.
#pragma once

#include <string>
#include <string_view>

/// The text with its carriage returns and line feeds removed.
[[nodiscard]] std::string TELMO_FILTER_CRLF(std::string_view text);

/// The text in upper case.
[[nodiscard]] std::string telmo_upper(std::string_view text);
