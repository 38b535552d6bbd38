#include "power/power_system.h"

#include <cmath>

#include "base/product.h"
#include "power/power_mac_info.h"
#include "power/power_time.h"

namespace torvo {
namespace {

constexpr auto power = AgentLog::Category::power;
constexpr const char* idleSleep = "PreventUserIdleSystemSleep";
constexpr const char* systemSleep = "PreventSystemSleep";
constexpr const char* wakeType = "wake";

std::string assertionName(const std::string& text) { return "Torvo: " + text; }

bool sameTime(double a, double b) { return std::fabs(a - b) < 1.0; }

}  // namespace

SystemPower::SystemPower(AgentLog& log, std::unique_ptr<PowerPlatform> platform)
    : log_(log), owner_(Product::wakeOwner), platform_(std::move(platform)) {}

std::vector<double> SystemPower::ours() {
  std::vector<double> times;
  const std::optional<nlohmann::json> events = platform_->scheduledPowerEvents();
  if (!events || !events->is_array()) return times;
  for (const auto& event : *events) {
    if (!event.is_object()) return {};
  }
  for (const auto& event : *events) {
    const auto by = event.find("scheduledby");
    const auto type = event.find("eventtype");
    const auto time = event.find("time");
    if (by == event.end() || !by->is_string() || by->get<std::string>() != owner_) continue;
    if (type == event.end() || !type->is_string() || type->get<std::string>() != wakeType) continue;
    if (time == event.end() || !time->is_number()) continue;
    times.push_back(time->get<double>());
  }
  return times;
}

void SystemPower::cancelOurs(std::optional<double> except) {
  for (const double time : ours()) {
    if (except && sameTime(time, *except)) continue;
    platform_->cancelPowerEvent(time, owner_, wakeType);
  }
}

void SystemPower::scheduleWake(std::int64_t at) {
  std::lock_guard guard(lock_);
  const auto requested = static_cast<double>(at);
  cancelOurs(requested);
  for (const double time : ours()) {
    if (sameTime(time, requested)) return;
  }
  const int status = platform_->schedulePowerEvent(requested, owner_, wakeType);
  if (status == 0) {
    log_.info(power, "scheduled wake at " + PowerTime::stamp(at));
    return;
  }
  log_.error(power, "couldn't schedule wake (IOReturn " + std::to_string(status) +
                        "); trying pmset");
  platform_->runTool("/usr/bin/pmset", {"schedule", "wake", PowerTime::pmsetDate(at)});
}

void SystemPower::cancelAllWakes() {
  std::lock_guard guard(lock_);
  cancelOurs(std::nullopt);
}

void SystemPower::beginCheckIn() {
  std::lock_guard guard(lock_);
  if (checkInAssertion_ != 0) return;
  const auto created = platform_->createAssertion(
      {idleSleep, assertionName("checking in"), checkInTimeoutSeconds});
  if (created) checkInAssertion_ = *created;
}

void SystemPower::endCheckIn() {
  std::lock_guard guard(lock_);
  if (checkInAssertion_ == 0) return;
  platform_->releaseAssertion(checkInAssertion_);
  checkInAssertion_ = 0;
}

void SystemPower::holdAwake(const std::string& label) {
  std::lock_guard guard(lock_);
  const std::string name = assertionName(label);
  if (!awakeAssertions_.empty() && name == awakeLabel_) return;
  // The new assertions exist before the old ones go, so a new label never leaves a gap.
  std::vector<AssertionID> previous = std::move(awakeAssertions_);
  std::vector<AssertionID> current;
  for (const char* type : {idleSleep, systemSleep}) {
    if (const auto created = platform_->createAssertion({type, name, std::nullopt})) {
      current.push_back(*created);
    }
  }
  for (const AssertionID id : previous) platform_->releaseAssertion(id);
  awakeAssertions_ = std::move(current);
  awakeLabel_ = name;
}

void SystemPower::releaseAwake() {
  std::lock_guard guard(lock_);
  if (awakeAssertions_.empty()) return;
  for (const AssertionID id : awakeAssertions_) platform_->releaseAssertion(id);
  awakeAssertions_.clear();
  awakeLabel_.clear();
  log_.info(power, "released the awake assertions");
}

void SystemPower::declareUserActivity() {
  platform_->declareUserActivity(assertionName("Wake"));
  log_.info(power, "declared user activity (full wake)");
}

PowerSource SystemPower::powerSource() { return MacInfo::powerSource(*platform_); }

std::string SystemPower::macName() { return MacInfo::computerName(*platform_); }

}  // namespace torvo
