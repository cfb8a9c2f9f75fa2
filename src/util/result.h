// Value-or-error for our own APIs. The error is a Win32 error number, the
// vocabulary the manager already speaks (2 file not found, 1326 logon failure...).
#pragma once

#include <cstdint>
#include <utility>
#include <variant>

namespace telmo {

struct Error {
  std::uint32_t code = 0;
};

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::move(value)) {}  // NOLINT: implicit by design
  Result(Error e) : v_(e) {}                 // NOLINT: implicit by design

  [[nodiscard]] bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }
  [[nodiscard]] T& value() & { return std::get<0>(v_); }
  [[nodiscard]] const T& value() const& { return std::get<0>(v_); }
  [[nodiscard]] T&& value() && { return std::get<0>(std::move(v_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  [[nodiscard]] std::uint32_t error() const noexcept { return ok() ? 0u : std::get<1>(v_).code; }

 private:
  std::variant<T, Error> v_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error e) : code_(e.code) {}  // NOLINT: implicit by design
  [[nodiscard]] bool ok() const noexcept { return code_ == 0; }
  explicit operator bool() const noexcept { return ok(); }
  [[nodiscard]] std::uint32_t error() const noexcept { return code_; }

 private:
  std::uint32_t code_ = 0;
};

}  // namespace telmo
