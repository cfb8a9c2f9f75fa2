#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "external/telmo_client.h"
#include "external/telmo_frame.h"
#include "external/telmo_mgmt.h"
#include "external/telmo_send.h"
#include "external/telmo_server.h"
#include "platform/socket.h"

namespace telmo {
namespace {

using Clock = platform::SocketClock;

std::chrono::milliseconds TenthsToMillis(int tenths) {
  return std::chrono::milliseconds(static_cast<std::int64_t>(std::max(tenths, 0)) * 100);
}

/// The TT 15 request that carries `message`.
TelmoMessage Carrier(const IdentityRecord& identity, std::span<const std::uint8_t> message, std::uint32_t transnum) {
  TelmoMessage m;
  m.kind = MessageKind::kRequest;
  m.tt = TELMO_TT_MSG;
  m.transnum = transnum;
  m.requester = identity;
  m.payload = mgmt::EncodeNamedPayload(0, TelmoNameBlock{}, message);
  return m;
}

void LoadOutcome(const StatusBlock& acknowledgement, StatusBlock& block) {
  for (std::uint32_t i = 0; i < acknowledgement.count; ++i) {
    TELMO_CLIENT_LDBLK(acknowledgement.codes[i].facility, acknowledgement.codes[i].code, block);
  }
  if (acknowledgement.count == 0) TELMO_CLIENT_LDBLK(kFacilityMessaging, kMsgSystemError, block);
}

// A connection error as the send calls report it: anything but a time-out or
// an unknown host means nobody took the connection.
std::int32_t ConnectStatus(std::uint32_t error) {
  return error == ERROR_TIMEOUT || error == kErrorHostNotFound ? StatusFromError(error) : kMsgCannotConnect;
}

}  // namespace

// ---------------------------------------------------------------------------
// The sender thread. Each message is a small state machine on its own
// non-blocking connection: connecting, writing the frame, reading the
// acknowledgement; every one has its own deadline.

struct MessageSender::Impl {
  struct Job {
    MessageDestination destination;
    Clock::time_point deadline;
    std::vector<std::uint8_t> frame;
    std::uint32_t transnum = 0;
    Done done;
    // state on the sender thread
    platform::Socket fd;
    enum class Stage { kConnecting, kWriting, kReading } stage = Stage::kConnecting;
    std::size_t written = 0;
    std::vector<std::uint8_t> in;
  };

  mutable std::mutex mutex;
  mutable std::condition_variable idle;
  std::vector<Job> incoming;
  std::size_t in_flight = 0;
  bool stopping = false;
  platform::SocketWaker wake;
  std::thread thread;

  // False when the waker cannot be made (out of descriptors).
  bool Start() {
    auto waker = platform::SocketWaker::Create();
    if (!waker) return false;
    wake = std::move(*waker);
    thread = std::thread([this] { Run(); });
    return true;
  }

  void Wake() const { wake.Wake(); }

  void Finish(Job& job, const StatusBlock& outcome) {
    job.fd.reset();
    if (job.done) job.done(outcome);
    std::lock_guard lock(mutex);
    --in_flight;
    if (in_flight == 0) idle.notify_all();
  }
  void Fail(Job& job, std::int32_t code) {
    StatusBlock outcome;
    TELMO_CLIENT_LDBLK(kFacilityMessaging, code, outcome);
    Finish(job, outcome);
  }

  // Resolves and starts connecting; false when the job has already finished.
  bool Begin(Job& job) {
    auto endpoint = ResolveService(job.destination.node.view(), job.destination.service.view());
    if (!endpoint) {
      Fail(job, StatusFromError(endpoint.error()));
      return false;
    }
    bool pending = false;
    auto connecting = platform::BeginConnect(endpoint->host, endpoint->port, pending);
    if (!connecting) {
      Fail(job, ConnectStatus(connecting.error()));
      return false;
    }
    job.fd = std::move(*connecting);
    if (!pending) job.stage = Job::Stage::kWriting;
    return true;
  }

  // One readiness event; false when the job has finished.
  bool Step(Job& job, const platform::PollItem& ready) {
    if (job.stage == Job::Stage::kConnecting) {
      if (platform::ConnectError(job.fd) != 0) {
        Fail(job, kMsgCannotConnect);
        return false;
      }
      job.stage = Job::Stage::kWriting;
    }
    if (job.stage == Job::Stage::kWriting) {
      auto written = platform::WriteSome(job.fd, std::span(job.frame).subspan(job.written));
      if (!written) {
        Fail(job, kMsgConnectionClosed);
        return false;
      }
      job.written += *written;
      if (job.written < job.frame.size()) return true;
      job.stage = Job::Stage::kReading;
      return true;
    }
    if (!ready.readable) return true;
    std::uint8_t chunk[4096];
    const auto n = platform::ReceiveSome(job.fd, chunk);
    if (n == platform::kWouldBlock) return true;
    if (n <= 0) {
      Fail(job, kMsgConnectionClosed);
      return false;
    }
    job.in.insert(job.in.end(), chunk, chunk + n);
    for (;;) {
      TelmoMessage reply;
      const auto decoded = wire::DecodeFrame(job.in, reply);
      if (decoded.status == wire::DecodeStatus::kNeedMore) return true;
      if (decoded.status != wire::DecodeStatus::kOk || reply.kind != MessageKind::kReply) {
        Fail(job, kMsgMalformedFrame);
        return false;
      }
      job.in.erase(job.in.begin(), job.in.begin() + static_cast<std::ptrdiff_t>(decoded.consumed));
      if (reply.transnum != job.transnum) continue;
      StatusBlock outcome;
      if (reply.status.failed()) LoadOutcome(reply.status, outcome);
      Finish(job, outcome);
      return false;
    }
  }

  void Run() {
    std::vector<Job> active;
    std::vector<platform::PollItem> polls;
    for (;;) {
      {
        std::lock_guard lock(mutex);
        if (stopping) return;
        for (auto& job : incoming) active.push_back(std::move(job));
        incoming.clear();
      }
      // Start what came in (a job that finished at once leaves the list).
      for (std::size_t i = 0; i < active.size();) {
        if (!active[i].fd && !Begin(active[i])) {
          active.erase(active.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
          ++i;
        }
      }
      polls.assign(1, platform::PollItem{.socket = &wake.socket()});
      Clock::time_point next = Clock::now() + std::chrono::hours(1);
      for (const Job& job : active) {
        const bool reading = job.stage == Job::Stage::kReading;
        polls.push_back(platform::PollItem{.socket = &job.fd, .want_read = reading, .want_write = !reading});
        next = std::min(next, job.deadline);
      }
      (void)platform::WaitReady(polls, platform::PollMillis(next));
      if (polls[0].readable) wake.Drain();
      const auto now = Clock::now();
      std::vector<Job> still;
      still.reserve(active.size());
      for (std::size_t i = 0; i < active.size(); ++i) {
        Job& job = active[i];
        const platform::PollItem& ready = polls[i + 1];
        if ((ready.readable || ready.writable) && !Step(job, ready)) continue;
        if (now >= job.deadline) {
          Fail(job, kMsgTimeout);
          continue;
        }
        still.push_back(std::move(job));
      }
      active.swap(still);
    }
  }
};

MessageSender::MessageSender() : impl_(std::make_unique<Impl>()) {}

MessageSender::~MessageSender() {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->stopping = true;
  }
  if (impl_->thread.joinable()) {
    impl_->Wake();
    impl_->thread.join();
  }
}

void MessageSender::Send(const IdentityRecord& identity, const MessageDestination& destination, int timeout_tenths,
                         std::span<const std::uint8_t> message, std::uint32_t transnum, Done done) {
  Impl::Job job;
  job.destination = destination;
  job.deadline = Clock::now() + TenthsToMillis(timeout_tenths);
  job.transnum = transnum;
  job.done = std::move(done);
  if (!wire::AppendFrame(Carrier(identity, message, transnum), job.frame)) {
    StatusBlock outcome;
    TELMO_CLIENT_LDBLK(kFacilityMessaging, kMsgTooLarge, outcome);
    if (job.done) job.done(outcome);
    return;
  }
  bool wake = false;
  {
    std::lock_guard lock(impl_->mutex);
    if (!impl_->thread.joinable() && !impl_->Start()) {
      StatusBlock outcome;
      TELMO_CLIENT_LDBLK(kFacilityMessaging, kMsgSystemError, outcome);
      if (job.done) job.done(outcome);
      return;
    }
    // The thread takes everything that came in at once: one wake-up for a batch.
    wake = impl_->incoming.empty();
    impl_->incoming.push_back(std::move(job));
    ++impl_->in_flight;
  }
  if (wake) impl_->Wake();
}

std::size_t MessageSender::in_flight() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->in_flight;
}

bool MessageSender::WaitIdle(std::chrono::milliseconds limit) const {
  std::unique_lock lock(impl_->mutex);
  return impl_->idle.wait_for(lock, limit, [this] { return impl_->in_flight == 0; });
}

}  // namespace telmo

int TELMO_SERVER_SEND_MESSAGE(const IdentityRecord& identity, const MessageDestination& destination,
                              int timeout_tenths, std::span<const std::uint8_t> message, std::uint32_t& transnum,
                              int /*flags*/, StatusBlock& block) {
  using Clock = telmo::platform::SocketClock;
  auto fail = [&block](std::int32_t code) {
    TELMO_CLIENT_LDBLK(kFacilityMessaging, code, block);
    return 0;
  };
  const auto timeout = telmo::TenthsToMillis(timeout_tenths);
  const auto deadline = Clock::now() + timeout;
  auto left = [&deadline] {
    return std::chrono::ceil<std::chrono::milliseconds>(std::max(deadline - Clock::now(), Clock::duration::zero()));
  };
  if (transnum == 0) transnum = telmo::TelmoClient::NextTransnum();
  auto endpoint = telmo::ResolveService(destination.node.view(), destination.service.view());
  if (!endpoint) return fail(telmo::StatusFromError(endpoint.error()));
  auto client = telmo::TelmoClient::Connect(*endpoint, timeout);
  if (!client) return fail(telmo::ConnectStatus(client.error()));
  auto sent = client->SendMessage(telmo::Carrier(identity, message, transnum), left());
  if (!sent) return fail(telmo::StatusFromError(sent.error()));
  auto reply = client->AwaitReply(transnum, left());
  if (!reply) return fail(telmo::StatusFromError(reply.error()));
  if (reply->status.failed()) {
    telmo::LoadOutcome(reply->status, block);
    return 0;
  }
  return 1;
}
