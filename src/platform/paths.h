// Windows-style paths on POSIX. The manager builds its paths with "\"; the
// platform accepts "\" and "/" as separators and hands "/" to the system.
#pragma once

#include <string>
#include <string_view>

namespace telmo::platform {

[[nodiscard]] constexpr bool IsSeparator(char c) noexcept { return c == '\\' || c == '/'; }

/// The path with every "\" turned into "/" (what the system is given).
[[nodiscard]] std::string NativePath(std::string_view path);

/// The text after the last separator of either kind; the whole text when there is none.
[[nodiscard]] std::string_view PathTail(std::string_view path) noexcept;

/// Everything up to and including the last separator; empty when there is none.
[[nodiscard]] std::string_view PathHead(std::string_view path) noexcept;

/// dir + "/" + name, without doubling a separator that dir already ends in.
[[nodiscard]] std::string JoinPath(std::string_view dir, std::string_view name);

}  // namespace telmo::platform
