// Text routines shared by every layer.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>
#include <string_view>

namespace telmo {

/// Same length and every character equal after conversion to upper case.
[[nodiscard]] bool EqualsIgnoreCase(std::string_view a, std::string_view b) noexcept;
/// True when `needle` occurs in `haystack`, letter case ignored.
[[nodiscard]] bool ContainsIgnoreCase(std::string_view haystack, std::string_view needle) noexcept;
[[nodiscard]] std::string ToUpper(std::string_view text);
[[nodiscard]] std::string ToLower(std::string_view text);
/// The text without leading blanks, tabs, carriage returns and line feeds.
[[nodiscard]] std::string_view TrimLeft(std::string_view text) noexcept;
[[nodiscard]] std::string_view Trim(std::string_view text) noexcept;
/// Length of a NUL-terminated text counted up to `max`; 0 for a null text.
[[nodiscard]] std::size_t BoundedLength(const char* text, std::size_t max) noexcept;
/// `text` with every non-overlapping occurrence of `pattern`, scanned from the
/// left, replaced by `replacement`. An empty pattern replaces nothing.
[[nodiscard]] std::string ReplaceAll(std::string_view text, std::string_view pattern, std::string_view replacement);
/// In place; returns the number of occurrences replaced.
std::size_t ReplaceAllInPlace(std::string& text, std::string_view pattern, std::string_view replacement);
/// True when `text` holds a control character (0x00-0x1F or 0x7F).
[[nodiscard]] bool HasControlCharacter(std::string_view text) noexcept;
/// `text` with every control character but the tab written out, so that it
/// prints as one line and sends nothing to a terminal: "\n", "\r", and
/// "\xHH" for the others. Every other byte is kept (backslashes too: the
/// result is for reading, not for reading back).
[[nodiscard]] std::string EscapeControlCharacters(std::string_view text);
/// printf into a std::string (the manager's texts are printf formats).
[[nodiscard]] std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
/// The same with the arguments of a variadic caller.
[[nodiscard]] std::string VFormat(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

/// Numbers as the configuration files hold them. ParseInteger accepts leading
/// white space, a sign and at least one digit, and ignores what follows (so
/// "300 " is 300); false for no digits or a value outside 32 bits.
/// LeadingNumber is the same but gives 0 when there is no number and
/// saturates at the 32-bit limits.
[[nodiscard]] bool ParseInteger(std::string_view text, int& value) noexcept;
[[nodiscard]] int LeadingNumber(std::string_view text) noexcept;

}  // namespace telmo
