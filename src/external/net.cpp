#include "external/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <mutex>
#include <vector>

#include "external/telmo_client.h"
#include "platform/win_error.h"

namespace telmo::detail {
namespace {

struct AddrInfoDeleter {
  void operator()(addrinfo* ai) const noexcept { ::freeaddrinfo(ai); }
};
using AddrInfoPtr = std::unique_ptr<addrinfo, AddrInfoDeleter>;

Result<AddrInfoPtr> Resolve(const std::string& host, int port, bool passive) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | (passive ? AI_PASSIVE : 0);
  addrinfo* result = nullptr;
  const std::string service = std::to_string(port);
  const int rc = ::getaddrinfo(host.empty() ? nullptr : host.c_str(), service.c_str(), &hints, &result);
  if (rc != 0 || result == nullptr) {
    if (rc == EAI_SYSTEM) return Error{platform::Win32FromErrno(errno)};
    return Error{kErrorHostNotFound};
  }
  return AddrInfoPtr(result);
}

std::string NumericHost(const sockaddr* sa, socklen_t len) {
  char host[NI_MAXHOST] = {};
  if (::getnameinfo(sa, len, host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0) return {};
  return host;
}

// "::ffff:10.0.0.5" and "10.0.0.5" are the same peer; a scope ("%eth0") is
// not part of the address.
std::string CanonicalAddress(std::string_view numeric) {
  std::string text(numeric.substr(0, numeric.find('%')));
  constexpr std::string_view kMapped = "::ffff:";
  if (text.size() > kMapped.size() && text.compare(0, kMapped.size(), kMapped) == 0 &&
      text.find('.') != std::string::npos) {
    text.erase(0, kMapped.size());
  }
  return text;
}

struct OwnAddresses {
  std::mutex mutex;
  std::vector<std::string> addresses;
  Clock::time_point read_at{};
  bool read = false;
};

}  // namespace

int PollMillis(Clock::time_point deadline) noexcept {
  const auto left = deadline - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return ms > 1000 * 3600 ? 1000 * 3600 : static_cast<int>(ms);
}

Result<platform::UniqueFd> ListenOn(const std::string& address, int port) {
  auto ai = Resolve(address, port, true);
  if (!ai) return Error{ai.error()};
  std::uint32_t last_error = ERROR_INVALID_FUNCTION;
  for (const addrinfo* a = ai->get(); a != nullptr; a = a->ai_next) {
    platform::UniqueFd fd(::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
    if (!fd) {
      last_error = platform::Win32FromErrno(errno);
      continue;
    }
    const int one = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd.get(), a->ai_addr, a->ai_addrlen) != 0 || ::listen(fd.get(), SOMAXCONN) != 0) {
      last_error = platform::Win32FromErrno(errno);
      continue;
    }
    return fd;
  }
  return Error{last_error};
}

int LocalPort(int fd) noexcept {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return 0;
  if (ss.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(&ss)->sin_port);
  if (ss.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(&ss)->sin6_port);
  return 0;
}

std::string PeerAddress(int fd) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return {};
  return NumericHost(reinterpret_cast<const sockaddr*>(&ss), len);
}

std::string LocalAddress(int fd) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return {};
  return NumericHost(reinterpret_cast<const sockaddr*>(&ss), len);
}

bool IsOwnAddress(std::string_view numeric_address) {
  const std::string wanted = CanonicalAddress(numeric_address);
  if (wanted.empty()) return false;
  static OwnAddresses own;
  std::lock_guard lock(own.mutex);
  const auto now = Clock::now();
  if (!own.read || now - own.read_at >= std::chrono::seconds(5)) {
    own.addresses.clear();
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) == 0) {
      for (const ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
        if (a->ifa_addr == nullptr) continue;
        const int family = a->ifa_addr->sa_family;
        if (family != AF_INET && family != AF_INET6) continue;
        const socklen_t len = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
        std::string text = CanonicalAddress(NumericHost(a->ifa_addr, len));
        if (!text.empty()) own.addresses.push_back(std::move(text));
      }
      ::freeifaddrs(list);
    }
    own.read = true;
    own.read_at = now;
  }
  return std::find(own.addresses.begin(), own.addresses.end(), wanted) != own.addresses.end();
}

void SetNoDelay(int fd) noexcept {
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

Result<platform::UniqueFd> ConnectTo(const std::string& host, int port, Clock::time_point deadline,
                                     const std::string& source) {
  auto ai = Resolve(host, port, false);
  if (!ai) return Error{ai.error()};
  AddrInfoPtr from;
  if (!source.empty()) {
    auto local = Resolve(source, 0, true);
    if (!local) return Error{local.error()};
    from = std::move(*local);
  }
  std::uint32_t last_error = ERROR_CONNECTION_REFUSED;
  for (const addrinfo* a = ai->get(); a != nullptr; a = a->ai_next) {
    platform::UniqueFd fd(::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
    if (!fd) {
      last_error = platform::Win32FromErrno(errno);
      continue;
    }
    if (from && (from->ai_family != a->ai_family || ::bind(fd.get(), from->ai_addr, from->ai_addrlen) != 0)) {
      last_error = from->ai_family != a->ai_family ? ERROR_INVALID_PARAMETER : platform::Win32FromErrno(errno);
      continue;
    }
    if (::connect(fd.get(), a->ai_addr, a->ai_addrlen) != 0) {
      if (errno != EINPROGRESS) {
        last_error = platform::Win32FromErrno(errno);
        continue;
      }
      pollfd p{fd.get(), POLLOUT, 0};
      int rc;
      do {
        rc = ::poll(&p, 1, PollMillis(deadline));
      } while (rc < 0 && errno == EINTR);
      if (rc == 0) return Error{ERROR_TIMEOUT};
      int err = 0;
      socklen_t len = sizeof err;
      if (rc < 0 || ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
      if (err != 0) {
        last_error = platform::Win32FromErrno(err);
        continue;
      }
    }
    SetNoDelay(fd.get());
    return fd;
  }
  return Error{last_error};
}

Result<void> WriteAll(int fd, std::span<const std::uint8_t> bytes, Clock::time_point deadline) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{fd, POLLOUT, 0};
      const int wait = PollMillis(deadline);
      if (wait == 0) return Error{ERROR_TIMEOUT};
      const int rc = ::poll(&p, 1, wait);
      if (rc == 0) return Error{ERROR_TIMEOUT};
      if (rc < 0 && errno != EINTR) return Error{platform::Win32FromErrno(errno)};
      continue;
    }
    if (n < 0 && (errno == EPIPE || errno == ECONNRESET)) return Error{ERROR_BROKEN_PIPE};
    return Error{n < 0 ? platform::Win32FromErrno(errno) : ERROR_BROKEN_PIPE};
  }
  return {};
}

Result<std::size_t> WriteSome(int fd, std::span<const std::uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (n < 0 && errno != EPIPE && errno != ECONNRESET) return Error{platform::Win32FromErrno(errno)};
    return Error{ERROR_BROKEN_PIPE};
  }
  return done;
}

}  // namespace telmo::detail
