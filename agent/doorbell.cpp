#include "agent/doorbell.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "kit/ntfy_client.h"

namespace torvo {

// One stream being followed: its own thread, its own session and its own cancel.
struct RelayDoorbell::Follower {
  std::string relay;
  std::string topic;
  HttpCancel cancel;
  std::mutex mutex;
  std::condition_variable wakeUp;
  bool stopping = false;
  std::thread thread;

  // Sleeps `wait` unless stopped first; true when stopped.
  bool stoppedWithin(std::chrono::milliseconds wait) {
    std::unique_lock lock(mutex);
    return wakeUp.wait_for(lock, wait, [this] { return stopping; });
  }

  void run(asio::any_io_executor executor, AgentLog& log, Backoff backoff, Ring ring) {
    const NtfyClient client(relay, topic, std::make_shared<const HttpSession>());
    // The first stream starts at the relay's current position; a reconnected one goes on after
    // the last event it saw, so a message sent while it was down still rings.
    std::optional<NtfySince> since;
    std::chrono::milliseconds wait = backoff.firstRetry;
    while (true) {
      const auto began = std::chrono::steady_clock::now();
      bool heard = false;
      std::string ending = "closed by the relay";
      try {
        client.stream(since, cancel, [&](NtfyEvent event) {
          heard = true;
          since = NtfySince::id(event.id);
          asio::post(executor, [ring, id = std::move(event.id)] { ring(id); });
        });
      } catch (const std::exception& error) {
        ending = error.what();
      }
      if (cancel.cancelled()) return;
      // A stream that delivered something or lasted a while was a working one: the next break
      // starts the backoff over.
      if (heard || std::chrono::steady_clock::now() - began >= backoff.lastRetry) {
        wait = backoff.firstRetry;
      }
      log.debug(AgentLog::Category::relay,
                "stream ended (" + ending + "), reconnecting in " +
                    std::to_string(std::max<long long>(1, wait.count() / 1000)) + " s");
      if (stoppedWithin(wait)) return;
      wait = std::min(wait * 2, backoff.lastRetry);
    }
  }
};

RelayDoorbell::RelayDoorbell(asio::any_io_executor executor, AgentLog& log, Backoff backoff)
    : executor_(std::move(executor)), log_(log), backoff_(backoff) {}

RelayDoorbell::~RelayDoorbell() { stop(); }

void RelayDoorbell::follow(const std::string& relay, const std::string& topic, Ring ring) {
  if (follower_ && follower_->relay == relay && follower_->topic == topic) return;
  stop();
  auto follower = std::make_unique<Follower>();
  follower->relay = relay;
  follower->topic = topic;
  Follower& running = *follower;
  follower->thread = std::thread([&running, executor = executor_, &log = log_, backoff = backoff_,
                                  ring = std::move(ring)] { running.run(executor, log, backoff, ring); });
  follower_ = std::move(follower);
}

void RelayDoorbell::stop() {
  if (!follower_) return;
  {
    std::lock_guard lock(follower_->mutex);
    follower_->stopping = true;
  }
  follower_->wakeUp.notify_all();
  follower_->cancel.cancel();
  follower_->thread.join();
  follower_.reset();
}

}  // namespace torvo
