// TCP sockets on Linux: BSD sockets, non-blocking and close-on-exec.
#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/posix/unique_fd.h"

#include "platform/win_error.h"

namespace telmo::platform {
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
  const char* node = host.empty() ? nullptr : host.c_str();
  // A numeric address (the local node's) needs no name service.
  hints.ai_flags |= AI_NUMERICHOST;
  int rc = ::getaddrinfo(node, service.c_str(), &hints, &result);
  if (rc != 0) {
    hints.ai_flags &= ~AI_NUMERICHOST;
    result = nullptr;
    rc = ::getaddrinfo(node, service.c_str(), &hints, &result);
  }
  if (rc != 0 || result == nullptr) {
    if (rc == EAI_SYSTEM) return Error{Win32FromErrno(errno)};
    return Error{kSocketHostNotFound};
  }
  return AddrInfoPtr(result);
}

std::string NumericHost(const sockaddr* sa, socklen_t len) {
  char host[NI_MAXHOST] = {};
  if (::getnameinfo(sa, len, host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0) return {};
  return host;
}

// The own addresses, read again at most every 5 s.
struct OwnAddresses {
  std::mutex mutex;
  std::vector<std::string> addresses;
  SocketClock::time_point read_at{};
  bool read = false;
};

}  // namespace

bool IsLoopbackAddress(std::string_view numeric_address) noexcept {
  char text[INET6_ADDRSTRLEN + 1] = {};
  if (numeric_address.empty() || numeric_address.size() >= sizeof text) return false;
  std::copy(numeric_address.begin(), numeric_address.end(), text);
  in_addr v4{};
  if (::inet_pton(AF_INET, text, &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  if (::inet_pton(AF_INET6, text, &v6) == 1) {
    if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
    if (IN6_IS_ADDR_V4MAPPED(&v6)) return v6.s6_addr[12] == 127;
  }
  return false;
}

Result<Socket> ListenOn(const std::string& address, int port) {
  auto ai = Resolve(address, port, true);
  if (!ai) return Error{ai.error()};
  std::uint32_t last_error = ERROR_INVALID_FUNCTION;
  for (const addrinfo* a = ai->get(); a != nullptr; a = a->ai_next) {
    UniqueFd fd(::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
    if (!fd) {
      last_error = Win32FromErrno(errno);
      continue;
    }
    const int one = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd.get(), a->ai_addr, a->ai_addrlen) != 0 || ::listen(fd.get(), SOMAXCONN) != 0) {
      last_error = Win32FromErrno(errno);
      continue;
    }
    return Socket(fd.release());
  }
  return Error{last_error};
}

int LocalPort(const Socket& socket) noexcept {
  const int fd = static_cast<int>(socket.native());
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return 0;
  if (ss.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(&ss)->sin_port);
  if (ss.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(&ss)->sin6_port);
  return 0;
}

std::string PeerAddress(const Socket& socket) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (::getpeername(static_cast<int>(socket.native()), reinterpret_cast<sockaddr*>(&ss), &len) != 0) return {};
  return NumericHost(reinterpret_cast<const sockaddr*>(&ss), len);
}

std::string LocalAddress(const Socket& socket) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (::getsockname(static_cast<int>(socket.native()), reinterpret_cast<sockaddr*>(&ss), &len) != 0) return {};
  return NumericHost(reinterpret_cast<const sockaddr*>(&ss), len);
}

bool IsOwnAddress(std::string_view numeric_address) {
  const std::string wanted = CanonicalAddress(numeric_address);
  if (wanted.empty()) return false;
  static OwnAddresses own;
  std::lock_guard lock(own.mutex);
  const auto now = SocketClock::now();
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

void SetNoDelay(const Socket& socket) noexcept {
  const int fd = static_cast<int>(socket.native());
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

Result<Socket> ConnectTo(const std::string& host, int port, SocketClock::time_point deadline,
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
    UniqueFd fd(::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
    if (!fd) {
      last_error = Win32FromErrno(errno);
      continue;
    }
    if (from && (from->ai_family != a->ai_family || ::bind(fd.get(), from->ai_addr, from->ai_addrlen) != 0)) {
      last_error = from->ai_family != a->ai_family ? ERROR_INVALID_PARAMETER : Win32FromErrno(errno);
      continue;
    }
    if (::connect(fd.get(), a->ai_addr, a->ai_addrlen) != 0) {
      if (errno != EINPROGRESS) {
        last_error = Win32FromErrno(errno);
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
        last_error = Win32FromErrno(err);
        continue;
      }
    }
    Socket connected(fd.release());
    SetNoDelay(connected);
    return connected;
  }
  return Error{last_error};
}

Result<Socket> BeginConnect(const std::string& host, int port, bool& pending) {
  pending = false;
  auto ai = Resolve(host, port, false);
  if (!ai) return Error{ai.error()};
  const addrinfo* a = ai->get();
  UniqueFd fd(::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
  if (!fd) return Error{Win32FromErrno(errno)};
  if (::connect(fd.get(), a->ai_addr, a->ai_addrlen) != 0) {
    if (errno != EINPROGRESS) return Error{Win32FromErrno(errno)};
    pending = true;
  }
  Socket connecting(fd.release());
  SetNoDelay(connecting);
  return connecting;
}

std::uint32_t ConnectError(const Socket& socket) noexcept {
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(static_cast<int>(socket.native()), SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
  return err == 0 ? 0 : Win32FromErrno(err);
}

Result<void> WriteAll(const Socket& socket, std::span<const std::uint8_t> bytes, SocketClock::time_point deadline) {
  const int fd = static_cast<int>(socket.native());
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
      if (rc < 0 && errno != EINTR) return Error{Win32FromErrno(errno)};
      continue;
    }
    if (n < 0 && (errno == EPIPE || errno == ECONNRESET)) return Error{ERROR_BROKEN_PIPE};
    return Error{n < 0 ? Win32FromErrno(errno) : ERROR_BROKEN_PIPE};
  }
  return {};
}

Result<std::size_t> WriteSome(const Socket& socket, std::span<const std::uint8_t> bytes) {
  const int fd = static_cast<int>(socket.native());
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (n < 0 && errno != EPIPE && errno != ECONNRESET) return Error{Win32FromErrno(errno)};
    return Error{ERROR_BROKEN_PIPE};
  }
  return done;
}

void Socket::reset(std::intptr_t native) noexcept {
  if (native_ != kInvalid) ::close(static_cast<int>(native_));
  native_ = native;
}

AcceptResult Accept(const Socket& listener, Socket& out) {
  const int fd = ::accept4(static_cast<int>(listener.native()), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd >= 0) {
    out = Socket(fd);
    return AcceptResult::kAccepted;
  }
  if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) return AcceptResult::kRetry;
  if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) return AcceptResult::kNoResources;
  return AcceptResult::kNonePending;
}

std::ptrdiff_t ReceiveSome(const Socket& socket, std::span<std::uint8_t> buffer) noexcept {
  for (;;) {
    const ssize_t n = ::recv(static_cast<int>(socket.native()), buffer.data(), buffer.size(), 0);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return kWouldBlock;
    return kReceiveFailed;
  }
}

int WaitReady(std::span<PollItem> items, int timeout_ms) {
  // Kept between calls: the request loop waits here on every pass.
  thread_local std::vector<pollfd> fds;
  fds.resize(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    const short events = static_cast<short>((items[i].want_read ? POLLIN : 0) | (items[i].want_write ? POLLOUT : 0));
    fds[i] = {static_cast<int>(items[i].socket->native()), events, 0};
    items[i].readable = false;
    items[i].writable = false;
  }
  const int rc = ::poll(fds.data(), fds.size(), timeout_ms);
  if (rc < 0) return errno == EINTR ? static_cast<int>(kWouldBlock) : static_cast<int>(kReceiveFailed);
  for (std::size_t i = 0; i < items.size(); ++i) {
    items[i].readable = (fds[i].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0;
    items[i].writable = (fds[i].revents & (POLLOUT | POLLERR)) != 0;
  }
  return rc;
}

Result<SocketWaker> SocketWaker::Create() {
  const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) return Error{Win32FromErrno(errno)};
  SocketWaker waker;
  waker.socket_ = Socket(fd);
  return waker;
}

void SocketWaker::Wake() const noexcept {
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto n = ::write(static_cast<int>(socket_.native()), &one, sizeof one);
}

void SocketWaker::Drain() const noexcept {
  std::uint64_t count = 0;
  [[maybe_unused]] const auto n = ::read(static_cast<int>(socket_.native()), &count, sizeof count);
}

}  // namespace telmo::platform
