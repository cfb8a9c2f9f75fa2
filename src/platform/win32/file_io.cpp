#include "platform/file_io.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <utility>

#include "platform/win32/native.h"
#include "platform/win_error.h"

namespace telmo::platform {

namespace {
win32::Handle H(std::intptr_t v) { return reinterpret_cast<win32::Handle>(v); }
std::intptr_t V(win32::Handle h) { return reinterpret_cast<std::intptr_t>(h); }
}  // namespace

Result<AppendFile> AppendFile::Open(const std::string& path) {
  win32::Handle h = win32::OpenAppend(path, false);
  if (win32::IsInvalid(h)) return Error{GetLastError()};
  AppendFile file;
  file.native_ = V(h);
  return file;
}

AppendFile::AppendFile(AppendFile&& other) noexcept : native_(std::exchange(other.native_, kInvalid)) {}
AppendFile& AppendFile::operator=(AppendFile&& other) noexcept {
  if (this != &other) {
    Close();
    native_ = std::exchange(other.native_, kInvalid);
  }
  return *this;
}
AppendFile::~AppendFile() { Close(); }

void AppendFile::Close() noexcept {
  if (native_ != kInvalid) win32::CloseKernelHandle(H(std::exchange(native_, kInvalid)));
}

Result<void> AppendFile::Write(std::string_view bytes) {
  if (!valid()) return Error{ERROR_INVALID_HANDLE};
  if (!win32::WriteHandle(H(native_), bytes)) return Error{GetLastError()};
  return {};
}

std::uint64_t AppendFile::Size() const {
  const auto size = valid() ? win32::HandleFileSize(H(native_)) : -1;
  return size < 0 ? 0 : static_cast<std::uint64_t>(size);
}

Result<FollowedFile> FollowedFile::Open(const std::string& path) {
  win32::Handle h = win32::OpenForReading(path);
  if (win32::IsInvalid(h)) return Error{GetLastError()};
  FollowedFile file;
  file.native_ = V(h);
  return file;
}

FollowedFile::FollowedFile(FollowedFile&& other) noexcept : native_(std::exchange(other.native_, kInvalid)) {}
FollowedFile& FollowedFile::operator=(FollowedFile&& other) noexcept {
  if (this != &other) {
    if (native_ != kInvalid) win32::CloseKernelHandle(H(native_));
    native_ = std::exchange(other.native_, kInvalid);
  }
  return *this;
}
FollowedFile::~FollowedFile() {
  if (native_ != kInvalid) win32::CloseKernelHandle(H(native_));
}

Result<std::size_t> FollowedFile::ReadAt(std::uint64_t offset, std::span<char> buffer) const {
  if (!valid()) return Error{ERROR_INVALID_HANDLE};
  const auto size = buffer.size() > (1u << 30) ? (1u << 30) : static_cast<std::uint32_t>(buffer.size());
  const std::int64_t n = win32::ReadHandleAt(H(native_), offset, buffer.data(), size);
  if (n < 0) return Error{GetLastError()};
  return static_cast<std::size_t>(n);
}

std::uint64_t FollowedFile::Size() const {
  const auto size = valid() ? win32::HandleFileSize(H(native_)) : -1;
  return size < 0 ? 0 : static_cast<std::uint64_t>(size);
}

FileIdentity FollowedFile::Identity() const {
  FileIdentity id;
  if (valid() && !win32::HandleIdentity(H(native_), &id.volume, &id.index)) id = {};
  return id;
}

bool FollowedFile::IsRegular() const { return valid() && win32::HandleIsRegularFile(H(native_)); }

bool RenewKeepingPrevious(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (!fs::exists(path, ec)) return !ec;
  fs::rename(path, path + ".1", ec);  // replaces an earlier "path.1"
  return !ec;
}

std::optional<FileFacts> LookAtFile(const std::string& path) {
  auto file = FollowedFile::Open(path);
  if (!file) return std::nullopt;
  return FileFacts{file->Identity(), file->Size()};
}

std::string LocalTimestamp() {
  const auto now = std::chrono::system_clock::now();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  std::tm tm{};
  ::localtime_s(&tm, &t);
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
  return buf;
}

}  // namespace telmo::platform
