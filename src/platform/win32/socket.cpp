// TCP sockets on Windows: Winsock 2, non-blocking (FIONBIO), never inherited
// (WSA_FLAG_NO_HANDLE_INHERIT), WSAPoll for waiting. Winsock's own error
// numbers are turned into the ones socket.h names; others pass as they are
// (they are Win32 numbers too).
//
// This file includes <winsock2.h> and only the platform-neutral socket.h: the
// Windows-named interface headers would collide with the system's names.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/socket.h"

namespace telmo::platform {
namespace {

constexpr std::uint32_t kBrokenPipe = 109;        // ERROR_BROKEN_PIPE
constexpr std::uint32_t kConnectionRefused = 1225;  // ERROR_CONNECTION_REFUSED
constexpr std::uint32_t kTimeout = 1460;          // ERROR_TIMEOUT
constexpr std::uint32_t kInvalidParameter = 87;   // ERROR_INVALID_PARAMETER

std::uint32_t Translate(int wsa) {
  switch (wsa) {
    case WSAECONNREFUSED: return kConnectionRefused;
    case WSAETIMEDOUT: return kTimeout;
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAESHUTDOWN:
    case WSAENOTCONN: return kBrokenPipe;
    case WSAHOST_NOT_FOUND:
    case WSANO_DATA: return kSocketHostNotFound;
    default: return static_cast<std::uint32_t>(wsa);
  }
}

// Winsock is started once for the process and never cleaned up: sockets may
// be closed by destructors of static objects at exit.
bool Started() {
  static const bool started = [] {
    WSADATA data{};
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

SOCKET S(const Socket& s) { return static_cast<SOCKET>(s.native()); }

struct AddrInfoDeleter {
  void operator()(addrinfo* ai) const noexcept { ::freeaddrinfo(ai); }
};
using AddrInfoPtr = std::unique_ptr<addrinfo, AddrInfoDeleter>;

Result<AddrInfoPtr> Resolve(const std::string& host, int port, bool passive) {
  if (!Started()) return Error{Translate(::WSAGetLastError())};
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
  if (rc != 0 || result == nullptr) return Error{kSocketHostNotFound};
  return AddrInfoPtr(result);
}

Result<Socket> NewSocket(const addrinfo* a) {
  const SOCKET s = ::WSASocketW(a->ai_family, a->ai_socktype, a->ai_protocol, nullptr, 0,
                                WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return Error{Translate(::WSAGetLastError())};
  Socket out(static_cast<std::intptr_t>(s));
  u_long on = 1;
  if (::ioctlsocket(s, FIONBIO, &on) != 0) return Error{Translate(::WSAGetLastError())};
  return out;
}

std::string NumericHost(const sockaddr* sa, int len) {
  char host[NI_MAXHOST] = {};
  if (::getnameinfo(sa, len, host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0) return {};
  return host;
}

// The own addresses (GetAdaptersAddresses), read again at most every 5 s.
struct OwnAddresses {
  std::mutex mutex;
  std::vector<std::string> addresses;
  SocketClock::time_point read_at{};
  bool read = false;
};

void ReadOwnAddresses(std::vector<std::string>& out) {
  ULONG size = 16 * 1024;
  std::vector<unsigned char> buffer;
  ULONG rc = ERROR_BUFFER_OVERFLOW;
  for (int attempt = 0; attempt < 3 && rc == ERROR_BUFFER_OVERFLOW; ++attempt) {
    buffer.resize(size);
    rc = ::GetAdaptersAddresses(AF_UNSPEC, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER,
                                nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
  }
  if (rc != NO_ERROR) return;
  for (auto* adapter = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buffer.data()); adapter != nullptr;
       adapter = adapter->Next) {
    for (const IP_ADAPTER_UNICAST_ADDRESS* a = adapter->FirstUnicastAddress; a != nullptr; a = a->Next) {
      std::string text = CanonicalAddress(NumericHost(a->Address.lpSockaddr, a->Address.iSockaddrLength));
      if (!text.empty()) out.push_back(std::move(text));
    }
  }
}

bool WaitFor(const Socket& s, short events, int timeout_ms, int* error) {
  WSAPOLLFD p{S(s), events, 0};
  const int rc = ::WSAPoll(&p, 1, timeout_ms);
  if (rc < 0) *error = ::WSAGetLastError();
  return rc > 0;
}

}  // namespace

void Socket::reset(std::intptr_t native) noexcept {
  if (native_ != kInvalid) ::closesocket(static_cast<SOCKET>(native_));
  native_ = native;
}

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
  std::uint32_t last_error = 1;  // ERROR_INVALID_FUNCTION
  for (const addrinfo* a = ai->get(); a != nullptr; a = a->ai_next) {
    auto s = NewSocket(a);
    if (!s) {
      last_error = s.error();
      continue;
    }
    // No SO_REUSEADDR: on Windows it lets a second program take a port that
    // is in use. SO_EXCLUSIVEADDRUSE keeps the port ours alone.
    const BOOL one = TRUE;
    ::setsockopt(S(*s), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);
    if (::bind(S(*s), a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0 || ::listen(S(*s), SOMAXCONN) != 0) {
      last_error = Translate(::WSAGetLastError());
      continue;
    }
    return std::move(*s);
  }
  return Error{last_error};
}

int LocalPort(const Socket& socket) noexcept {
  sockaddr_storage ss{};
  int len = sizeof ss;
  if (::getsockname(S(socket), reinterpret_cast<sockaddr*>(&ss), &len) != 0) return 0;
  if (ss.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(&ss)->sin_port);
  if (ss.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(&ss)->sin6_port);
  return 0;
}

std::string PeerAddress(const Socket& socket) {
  sockaddr_storage ss{};
  int len = sizeof ss;
  if (::getpeername(S(socket), reinterpret_cast<sockaddr*>(&ss), &len) != 0) return {};
  return NumericHost(reinterpret_cast<const sockaddr*>(&ss), len);
}

std::string LocalAddress(const Socket& socket) {
  sockaddr_storage ss{};
  int len = sizeof ss;
  if (::getsockname(S(socket), reinterpret_cast<sockaddr*>(&ss), &len) != 0) return {};
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
    ReadOwnAddresses(own.addresses);
    own.read = true;
    own.read_at = now;
  }
  return std::find(own.addresses.begin(), own.addresses.end(), wanted) != own.addresses.end();
}

void SetNoDelay(const Socket& socket) noexcept {
  const BOOL one = TRUE;
  ::setsockopt(S(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
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
  std::uint32_t last_error = kConnectionRefused;
  for (const addrinfo* a = ai->get(); a != nullptr; a = a->ai_next) {
    auto s = NewSocket(a);
    if (!s) {
      last_error = s.error();
      continue;
    }
    if (from && (from->ai_family != a->ai_family ||
                 ::bind(S(*s), from->ai_addr, static_cast<int>(from->ai_addrlen)) != 0)) {
      last_error = from->ai_family != a->ai_family ? kInvalidParameter : Translate(::WSAGetLastError());
      continue;
    }
    if (::connect(S(*s), a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0) {
      const int err = ::WSAGetLastError();
      if (err != WSAEWOULDBLOCK) {
        last_error = Translate(err);
        continue;
      }
      int wait_error = 0;
      if (!WaitFor(*s, POLLOUT, PollMillis(deadline), &wait_error)) {
        if (wait_error != 0) {
          last_error = Translate(wait_error);
          continue;
        }
        return Error{kTimeout};
      }
      int so_error = 0;
      int len = sizeof so_error;
      if (::getsockopt(S(*s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&so_error), &len) != 0) {
        so_error = ::WSAGetLastError();
      }
      if (so_error != 0) {
        last_error = Translate(so_error);
        continue;
      }
    }
    SetNoDelay(*s);
    return std::move(*s);
  }
  return Error{last_error};
}

Result<Socket> BeginConnect(const std::string& host, int port, bool& pending) {
  pending = false;
  auto ai = Resolve(host, port, false);
  if (!ai) return Error{ai.error()};
  const addrinfo* a = ai->get();
  auto s = NewSocket(a);
  if (!s) return Error{s.error()};
  if (::connect(S(*s), a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0) {
    const int err = ::WSAGetLastError();
    if (err != WSAEWOULDBLOCK) return Error{Translate(err)};
    pending = true;
  }
  SetNoDelay(*s);
  return std::move(*s);
}

std::uint32_t ConnectError(const Socket& socket) noexcept {
  int so_error = 0;
  int len = sizeof so_error;
  if (::getsockopt(S(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&so_error), &len) != 0) {
    so_error = ::WSAGetLastError();
  }
  return so_error == 0 ? 0 : Translate(so_error);
}

AcceptResult Accept(const Socket& listener, Socket& out) {
  const SOCKET s = ::accept(S(listener), nullptr, nullptr);
  if (s == INVALID_SOCKET) {
    const int err = ::WSAGetLastError();
    if (err == WSAECONNRESET || err == WSAEINTR) return AcceptResult::kRetry;
    if (err == WSAEMFILE || err == WSAENOBUFS) return AcceptResult::kNoResources;
    return AcceptResult::kNonePending;
  }
  // An accepted socket takes the listener's non-blocking mode; inheritance
  // is off for it as for the listener (WSA_FLAG_NO_HANDLE_INHERIT carries over).
  ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  out = Socket(static_cast<std::intptr_t>(s));
  u_long on = 1;
  ::ioctlsocket(s, FIONBIO, &on);
  return AcceptResult::kAccepted;
}

std::ptrdiff_t ReceiveSome(const Socket& socket, std::span<std::uint8_t> buffer) noexcept {
  const int want = buffer.size() > (1u << 30) ? (1 << 30) : static_cast<int>(buffer.size());
  const int n = ::recv(S(socket), reinterpret_cast<char*>(buffer.data()), want, 0);
  if (n >= 0) return n;
  const int err = ::WSAGetLastError();
  if (err == WSAEWOULDBLOCK || err == WSAEINTR) return kWouldBlock;
  return kReceiveFailed;
}

Result<void> WriteAll(const Socket& socket, std::span<const std::uint8_t> bytes, SocketClock::time_point deadline) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const std::size_t left = bytes.size() - done;
    const int chunk = left > (1u << 30) ? (1 << 30) : static_cast<int>(left);
    const int n = ::send(S(socket), reinterpret_cast<const char*>(bytes.data() + done), chunk, 0);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    const int err = n < 0 ? ::WSAGetLastError() : WSAECONNRESET;
    if (err == WSAEWOULDBLOCK) {
      const int wait = PollMillis(deadline);
      if (wait == 0) return Error{kTimeout};
      int wait_error = 0;
      if (!WaitFor(socket, POLLOUT, wait, &wait_error)) {
        return Error{wait_error != 0 ? Translate(wait_error) : kTimeout};
      }
      continue;
    }
    return Error{Translate(err)};
  }
  return {};
}

Result<std::size_t> WriteSome(const Socket& socket, std::span<const std::uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const std::size_t left = bytes.size() - done;
    const int chunk = left > (1u << 30) ? (1 << 30) : static_cast<int>(left);
    const int n = ::send(S(socket), reinterpret_cast<const char*>(bytes.data() + done), chunk, 0);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    const int err = n < 0 ? ::WSAGetLastError() : WSAECONNRESET;
    if (err == WSAEWOULDBLOCK) break;
    return Error{Translate(err)};
  }
  return done;
}

int WaitReady(std::span<PollItem> items, int timeout_ms) {
  // Kept between calls: the request loop waits here on every pass.
  thread_local std::vector<WSAPOLLFD> fds;
  fds.resize(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    const short events =
        static_cast<short>((items[i].want_read ? POLLRDNORM : 0) | (items[i].want_write ? POLLWRNORM : 0));
    fds[i] = {S(*items[i].socket), events, 0};
    items[i].readable = false;
    items[i].writable = false;
  }
  if (fds.empty()) {
    // WSAPoll refuses an empty set: wait out the time instead.
    ::Sleep(static_cast<DWORD>(timeout_ms));
    return 0;
  }
  const int rc = ::WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), timeout_ms);
  if (rc < 0) return ::WSAGetLastError() == WSAEINTR ? static_cast<int>(kWouldBlock) : static_cast<int>(kReceiveFailed);
  for (std::size_t i = 0; i < items.size(); ++i) {
    const short revents = fds[i].revents;
    items[i].readable = (revents & (POLLRDNORM | POLLHUP | POLLERR | POLLNVAL)) != 0;
    items[i].writable = (revents & (POLLWRNORM | POLLERR)) != 0;
  }
  return rc;
}

Result<SocketWaker> SocketWaker::Create() {
  if (!Started()) return Error{Translate(::WSAGetLastError())};
  // A datagram socket on loopback, connected to itself: Wake sends it a byte.
  const SOCKET s = ::WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return Error{Translate(::WSAGetLastError())};
  SocketWaker waker;
  waker.socket_ = Socket(static_cast<std::intptr_t>(s));
  sockaddr_in self{};
  self.sin_family = AF_INET;
  self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof self;
  u_long on = 1;
  if (::bind(s, reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&self), &len) != 0 ||
      ::connect(s, reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0 || ::ioctlsocket(s, FIONBIO, &on) != 0) {
    return Error{Translate(::WSAGetLastError())};
  }
  return waker;
}

void SocketWaker::Wake() const noexcept {
  const char one = 1;
  ::send(S(socket_), &one, 1, 0);
}

void SocketWaker::Drain() const noexcept {
  char scratch[64];
  while (::recv(S(socket_), scratch, sizeof scratch, 0) > 0) {
  }
}

}  // namespace telmo::platform
