#include "platform/linux/power_logind.h"

#include <fcntl.h>

#include <systemd/sd-bus.h>

#include <cerrno>
#include <memory>

namespace torvo::Logind {
namespace {

constexpr const char* service = "org.freedesktop.login1";
constexpr const char* managerPath = "/org/freedesktop/login1";
constexpr const char* managerInterface = "org.freedesktop.login1.Manager";
constexpr std::uint64_t callLimitMicroseconds = 5'000'000;

struct BusUnref {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageUnref {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using Bus = std::unique_ptr<sd_bus, BusUnref>;
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

// Frees an sd_bus_error when the call is done with it.
struct Error {
  sd_bus_error value = SD_BUS_ERROR_NULL;
  Error() = default;
  Error(const Error&) = delete;
  Error& operator=(const Error&) = delete;
  ~Error() { sd_bus_error_free(&value); }
};

std::expected<Bus, int> openSystemBus() {
  sd_bus* raw = nullptr;
  const int r = sd_bus_open_system(&raw);
  if (r < 0) return std::unexpected(r);
  Bus bus(raw);
  sd_bus_set_method_call_timeout(bus.get(), callLimitMicroseconds);
  return bus;
}

}  // namespace

std::expected<int, int> inhibit(const std::string& what, const std::string& who,
                                const std::string& why, const std::string& mode) {
  auto bus = openSystemBus();
  if (!bus) return std::unexpected(bus.error());
  Error error;
  sd_bus_message* raw = nullptr;
  int r = sd_bus_call_method(bus->get(), service, managerPath, managerInterface, "Inhibit",
                             &error.value, &raw, "ssss", what.c_str(), who.c_str(), why.c_str(),
                             mode.c_str());
  if (r < 0) return std::unexpected(r);
  const Message reply(raw);
  int fd = -1;
  r = sd_bus_message_read(reply.get(), "h", &fd);
  if (r < 0) return std::unexpected(r);
  // The message owns its descriptor; the lock lives on in a copy of our own.
  const int held = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (held < 0) return std::unexpected(-errno);
  return held;
}

int markConsoleActive() {
  auto bus = openSystemBus();
  if (!bus) return bus.error();
  Error error;
  sd_bus_message* raw = nullptr;
  int r = sd_bus_call_method(bus->get(), service, managerPath, managerInterface, "GetSeat",
                             &error.value, &raw, "s", "seat0");
  if (r < 0) return r;
  const Message seatReply(raw);
  const char* seatPath = nullptr;
  r = sd_bus_message_read(seatReply.get(), "o", &seatPath);
  if (r < 0) return r;

  raw = nullptr;
  r = sd_bus_get_property(bus->get(), service, seatPath, "org.freedesktop.login1.Seat",
                          "ActiveSession", &error.value, &raw, "(so)");
  if (r < 0) return r;
  const Message sessionReply(raw);
  const char* sessionID = nullptr;
  const char* sessionPath = nullptr;
  r = sd_bus_message_read(sessionReply.get(), "(so)", &sessionID, &sessionPath);
  if (r < 0) return r;
  if (sessionPath == nullptr || std::string(sessionPath) == "/") return -ENOENT;

  r = sd_bus_call_method(bus->get(), service, sessionPath, "org.freedesktop.login1.Session",
                         "SetIdleHint", &error.value, nullptr, "b", 0);
  return r < 0 ? r : 0;
}

}  // namespace torvo::Logind
