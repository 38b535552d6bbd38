#include "platform/linux/wake_notifications.h"

#include <systemd/sd-bus.h>
#include <unistd.h>

#include <ctime>

namespace torvo {

// The system-bus connection that follows PrepareForSleep, watched through its descriptor.
struct WakeNotifications::Bus {
  sd_bus* bus = nullptr;
  sd_bus_slot* slot = nullptr;
  asio::posix::stream_descriptor descriptor;

  explicit Bus(asio::io_context& io) : descriptor(io) {}
  ~Bus() {
    if (descriptor.is_open()) descriptor.release();  // sd-bus owns the descriptor
    sd_bus_slot_unref(slot);
    sd_bus_flush_close_unref(bus);
  }
};

namespace {

// PrepareForSleep(false): the machine has just resumed.
int onPrepareForSleep(sd_bus_message* message, void* userdata, sd_bus_error*) {
  int goingToSleep = 1;
  if (sd_bus_message_read(message, "b", &goingToSleep) >= 0 && !goingToSleep) {
    static_cast<WakeNotifications*>(userdata)->check();
  }
  return 0;
}

std::int64_t millis(clockid_t clock) {
  timespec ts{};
  ::clock_gettime(clock, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
}

}  // namespace

std::int64_t WakeNotifications::systemSuspendedMillis() {
  return millis(CLOCK_BOOTTIME) - millis(CLOCK_MONOTONIC);
}

WakeNotifications::WakeNotifications(asio::io_context& io, AgentLog& log,
                                     std::function<void()> onWake, SuspendedClock suspended)
    : io_(io),
      log_(log),
      onWake_(std::move(onWake)),
      suspended_(std::move(suspended)),
      lastSuspended_(suspended_()),
      timer_(io) {}

WakeNotifications::~WakeNotifications() = default;

bool WakeNotifications::start() {
  scheduleCheck();

  auto bus = std::make_unique<Bus>(io_);
  bool ok = sd_bus_open_system(&bus->bus) >= 0 &&
            sd_bus_match_signal(bus->bus, &bus->slot, "org.freedesktop.login1",
                                "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                "PrepareForSleep", onPrepareForSleep, this) >= 0;
  if (ok) {
    const int fd = sd_bus_get_fd(bus->bus);
    ok = fd >= 0;
    if (ok) bus->descriptor.assign(fd);
  }
  if (!ok) {
    log_.error(AgentLog::Category::power, "couldn't register for wake notifications; relying on the timer");
    return false;
  }
  bus_ = std::move(bus);
  waitForBus();
  return true;
}

void WakeNotifications::check() {
  const std::int64_t now = suspended_();
  if (now - lastSuspended_ < minimumSuspendMillis) return;
  lastSuspended_ = now;
  onWake_();
}

void WakeNotifications::scheduleCheck() {
  timer_.expires_after(checkEvery);
  timer_.async_wait([this](const std::error_code& error) {
    if (error) return;
    check();
    scheduleCheck();
  });
}

void WakeNotifications::waitForBus() {
  bus_->descriptor.async_wait(asio::posix::stream_descriptor::wait_read,
                              [this](const std::error_code& error) {
                                if (error || !bus_) return;
                                while (sd_bus_process(bus_->bus, nullptr) > 0) {
                                }
                                waitForBus();
                              });
}

}  // namespace torvo
