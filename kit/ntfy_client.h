// NtfyClient: the thin client of one relay topic. It publishes a text, polls for what was
// published since a point and follows the topic as a stream; it treats every text as opaque.
// Each call is one blocking HTTP request on the calling thread, stoppable through its
// `HttpCancel`; callers that must not block run it on a worker (see agent/worker_pool.h).
// A plain value: copies share the session and may be used from many threads at once.
#pragma once

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "kit/ntfy.h"
#include "kit/ntfy_http.h"
#include "kit/pairing.h"

namespace torvo {

class NtfyClient {
 public:
  static constexpr std::int64_t publishTimeout = 15;
  static constexpr std::int64_t pollTimeout = 20;
  static constexpr std::int64_t streamIdleTimeout = 90;

  NtfyClient(std::string relay, std::string topic, std::shared_ptr<const HttpSession> session);
  // The relay and topic of a pairing.
  NtfyClient(const Pairing& pairing, std::shared_ptr<const HttpSession> session);

  const std::string& relay() const { return relay_; }
  const std::string& topic() const { return topic_; }
  const std::shared_ptr<const HttpSession>& session() const { return session_; }

  std::string topicURL() const { return Ntfy::topicURL(relay_, topic_); }
  std::string pollURL(const NtfySince& since) const { return Ntfy::pollURL(relay_, topic_, since); }
  std::string streamURL(const std::optional<NtfySince>& since) const {
    return Ntfy::streamURL(relay_, topic_, since);
  }

  // Publishes `text`; returns the relay's id of the new event, or nothing when the answer is
  // not an event. Throws NtfyError for a status outside 200 to 299, TransportError otherwise.
  std::optional<std::string> publish(std::string_view text, const HttpCancel& cancel) const;

  // The message events published since `since`, in the relay's order. Throws as `publish`.
  std::vector<NtfyEvent> poll(const NtfySince& since, const HttpCancel& cancel) const;

  // Follows the topic: hands each message event to `onEvent` as it arrives and returns when the
  // relay closes the body. Throws NtfyError, TransportError (including `cancelled` and a
  // 90-second silence as `timedOut`) and whatever `onEvent` throws.
  void stream(const std::optional<NtfySince>& since, const HttpCancel& cancel,
              const std::function<void(NtfyEvent)>& onEvent) const;

 private:
  std::string relay_;
  std::string topic_;
  std::shared_ptr<const HttpSession> session_;
};

// A stream as a sequence the consumer pulls from: a background reader follows the topic and
// queues every message event (unbounded, nothing is dropped while the consumer is slow).
// Destroying the sequence or calling `cancel()` stops the reader. `next()` is for one consumer
// thread; `cancel()` may be called from any thread.
class NtfyStream {
 public:
  NtfyStream(NtfyClient client, std::optional<NtfySince> since);
  NtfyStream(const NtfyStream&) = delete;
  NtfyStream& operator=(const NtfyStream&) = delete;
  ~NtfyStream();

  // The next message event, waiting for it; nothing once the relay has closed the stream.
  // Rethrows the reader's error (NtfyError or TransportError) once the queued events are out.
  std::optional<NtfyEvent> next();

  void cancel();

 private:
  HttpCancel cancel_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<NtfyEvent> events_;
  bool ended_ = false;
  std::exception_ptr error_;
  std::thread reader_;
};

}  // namespace torvo
