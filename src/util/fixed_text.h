// Bounded text of a fixed-size field (the 32-byte service and node names of the
// manager's records and of the wire). Always NUL-terminated; never written past N.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace telmo {

template <std::size_t N>
class FixedText {
  static_assert(N >= 1);

 public:
  static constexpr std::size_t kCapacity = N;  ///< bytes of the field, NUL included
  static constexpr std::size_t kMaxLength = N - 1;

  constexpr FixedText() noexcept { bytes_.fill('\0'); }
  FixedText(std::string_view text) noexcept { assign(text); }  // NOLINT: implicit by design

  /// Copies at most N-1 characters; returns false when the text was cut.
  bool assign(std::string_view text) noexcept {
    bytes_.fill('\0');
    const std::size_t n = std::min(text.size(), kMaxLength);
    if (n > 0) std::memcpy(bytes_.data(), text.data(), n);
    return n == text.size();
  }

  /// Fills the field from raw wire bytes: up to the first NUL or N-1 bytes.
  void assign_bytes(const char* data, std::size_t size) noexcept {
    const auto* end = static_cast<const char*>(std::memchr(data, '\0', std::min(size, N)));
    const std::size_t n = end ? static_cast<std::size_t>(end - data) : std::min(size, kMaxLength);
    assign(std::string_view(data, n));
  }

  [[nodiscard]] std::size_t size() const noexcept { return std::strlen(bytes_.data()); }
  [[nodiscard]] bool empty() const noexcept { return bytes_[0] == '\0'; }
  [[nodiscard]] std::string_view view() const noexcept { return {bytes_.data(), size()}; }
  [[nodiscard]] std::string str() const { return std::string(view()); }
  [[nodiscard]] const char* c_str() const noexcept { return bytes_.data(); }
  [[nodiscard]] const std::array<char, N>& bytes() const noexcept { return bytes_; }
  void clear() noexcept { bytes_.fill('\0'); }

  friend bool operator==(const FixedText& a, const FixedText& b) noexcept { return a.view() == b.view(); }
  friend bool operator==(const FixedText& a, std::string_view b) noexcept { return a.view() == b; }

 private:
  std::array<char, N> bytes_;
};

using Text32 = FixedText<32>;  ///< service, node and user names: at most 31 characters

}  // namespace telmo
