#include "tests/fakes/fake_power_platform.h"

#include <sstream>

namespace torvo {
namespace {

// Whole seconds print without a fraction, so recorded calls read like the times given.
std::string timeText(double time) {
  std::ostringstream out;
  out.precision(17);
  out << time;
  return out.str();
}

}  // namespace

void FakePowerPlatform::record(std::string call) { calls_.push_back(std::move(call)); }

std::expected<AssertionID, int> FakePowerPlatform::createAssertion(const AssertionRequest& request) {
  std::lock_guard guard(mutex_);
  std::string call = "create " + request.type + " '" + request.name + "'";
  if (request.timeoutSeconds) call += " timeout=" + std::to_string(*request.timeoutSeconds);
  if (failingTypes_.contains(request.type)) {
    record(call + " -> fail");
    return std::unexpected(-1);
  }
  const AssertionID id = nextID_++;
  assertions_[id] = request;
  record(call + " -> " + std::to_string(id));
  return id;
}

void FakePowerPlatform::releaseAssertion(AssertionID id) {
  std::lock_guard guard(mutex_);
  assertions_.erase(id);
  record("release " + std::to_string(id));
}

void FakePowerPlatform::declareUserActivity(const std::string& name) {
  std::lock_guard guard(mutex_);
  record("activity '" + name + "'");
}

int FakePowerPlatform::schedulePowerEvent(double time, const std::string& owner,
                                          const std::string& type) {
  std::lock_guard guard(mutex_);
  record("schedule " + timeText(time) + " " + owner + " " + type + " -> " +
         std::to_string(scheduleStatus_));
  if (scheduleStatus_ != 0) return scheduleStatus_;
  if (!events_ || !events_->is_array()) events_ = nlohmann::json::array();
  events_->push_back({{"time", time}, {"scheduledby", owner}, {"eventtype", type}});
  return 0;
}

void FakePowerPlatform::cancelPowerEvent(double time, const std::string& owner,
                                         const std::string& type) {
  std::lock_guard guard(mutex_);
  record("cancel " + timeText(time) + " " + owner + " " + type);
  if (!events_ || !events_->is_array()) return;
  auto& list = *events_;
  for (auto it = list.begin(); it != list.end(); ++it) {
    if (it->is_object() && it->value("time", nlohmann::json()) == nlohmann::json(time) &&
        it->value("scheduledby", nlohmann::json()) == owner &&
        it->value("eventtype", nlohmann::json()) == type) {
      list.erase(it);
      return;
    }
  }
}

std::optional<nlohmann::json> FakePowerPlatform::scheduledPowerEvents() {
  std::lock_guard guard(mutex_);
  record("list");
  return events_;
}

std::optional<PowerSnapshot> FakePowerPlatform::powerSources() const {
  std::lock_guard guard(mutex_);
  return snapshot_;
}

std::optional<std::string> FakePowerPlatform::computerName() const {
  std::lock_guard guard(mutex_);
  return computerName_;
}

std::optional<std::string> FakePowerPlatform::hostName() const {
  std::lock_guard guard(mutex_);
  return hostName_;
}

void FakePowerPlatform::runTool(const std::string& path, const std::vector<std::string>& arguments) {
  std::lock_guard guard(mutex_);
  std::string call = "run " + path;
  for (const auto& argument : arguments) call += " " + argument;
  record(call);
}

void FakePowerPlatform::setEvents(std::optional<nlohmann::json> events) {
  std::lock_guard guard(mutex_);
  events_ = std::move(events);
}

void FakePowerPlatform::failAssertions(std::set<std::string> types) {
  std::lock_guard guard(mutex_);
  failingTypes_ = std::move(types);
}

void FakePowerPlatform::setScheduleStatus(int status) {
  std::lock_guard guard(mutex_);
  scheduleStatus_ = status;
}

void FakePowerPlatform::setSnapshot(std::optional<PowerSnapshot> snapshot) {
  std::lock_guard guard(mutex_);
  snapshot_ = std::move(snapshot);
}

void FakePowerPlatform::setNames(std::optional<std::string> computer,
                                 std::optional<std::string> host) {
  std::lock_guard guard(mutex_);
  computerName_ = std::move(computer);
  hostName_ = std::move(host);
}

std::vector<std::string> FakePowerPlatform::calls() const {
  std::lock_guard guard(mutex_);
  return calls_;
}

void FakePowerPlatform::clearCalls() {
  std::lock_guard guard(mutex_);
  calls_.clear();
}

std::map<AssertionID, AssertionRequest> FakePowerPlatform::assertions() const {
  std::lock_guard guard(mutex_);
  return assertions_;
}

std::optional<nlohmann::json> FakePowerPlatform::events() const {
  std::lock_guard guard(mutex_);
  return events_;
}

}  // namespace torvo
