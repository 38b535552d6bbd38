#include "platform/linux/power_inhibitor_locks.h"

#include <unistd.h>

#include <vector>

namespace torvo {

InhibitorLocks::~InhibitorLocks() {
  if (expirer_.joinable()) {
    expirer_.request_stop();
    expirer_.join();
  }
  for (const auto& [id, held] : held_) ::close(held.fd);
}

AssertionID InhibitorLocks::add(int fd, std::optional<Clock::duration> limit) {
  std::lock_guard guard(mutex_);
  do {
    ++lastID_;
  } while (lastID_ == 0 || held_.contains(lastID_));
  std::optional<Clock::time_point> deadline;
  if (limit) deadline = Clock::now() + *limit;
  held_[lastID_] = Held{fd, deadline};
  if (deadline) {
    if (!expirer_.joinable()) {
      expirer_ = std::jthread([this](std::stop_token stop) { expireLoop(stop); });
    }
    ++generation_;
    changed_.notify_all();
  }
  return lastID_;
}

void InhibitorLocks::release(AssertionID id) {
  int fd = -1;
  {
    std::lock_guard guard(mutex_);
    const auto it = held_.find(id);
    if (it == held_.end()) return;
    fd = it->second.fd;
    held_.erase(it);
  }
  ::close(fd);
}

std::size_t InhibitorLocks::count() const {
  std::lock_guard guard(mutex_);
  return held_.size();
}

void InhibitorLocks::expireLoop(std::stop_token stop) {
  std::unique_lock lock(mutex_);
  while (!stop.stop_requested()) {
    std::optional<Clock::time_point> next;
    std::vector<int> due;
    const auto now = Clock::now();
    for (auto it = held_.begin(); it != held_.end();) {
      const auto deadline = it->second.deadline;
      if (deadline && *deadline <= now) {
        due.push_back(it->second.fd);
        it = held_.erase(it);
        continue;
      }
      if (deadline && (!next || *deadline < *next)) next = deadline;
      ++it;
    }
    for (const int fd : due) ::close(fd);
    // Wake for the next deadline, or earlier when a new time limit arrives.
    const std::uint64_t seen = generation_;
    const auto arrived = [&] { return generation_ != seen; };
    if (next) {
      changed_.wait_until(lock, stop, *next, arrived);
    } else {
      changed_.wait(lock, stop, arrived);
    }
  }
}

}  // namespace torvo
