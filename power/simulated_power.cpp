#include "power/simulated_power.h"

#include <unistd.h>

#include <cstdint>
#include <limits>

#include <nlohmann/json.hpp>

#include "base/regular_file.h"
#include "power/power_mac_info.h"
#include "power/power_time.h"

namespace torvo {
namespace {

constexpr auto power = AgentLog::Category::power;

// The "clockOffset" member when it is an integer that fits a signed 64-bit number.
std::optional<std::int64_t> offsetIn(const std::string& content) {
  const nlohmann::json document = nlohmann::json::parse(content, nullptr, false);
  if (document.is_discarded() || !document.is_object()) return std::nullopt;
  const auto member = document.find("clockOffset");
  if (member == document.end() || !member->is_number_integer()) return std::nullopt;
  if (member->is_number_unsigned() &&
      member->get<std::uint64_t>() >
          static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    return std::nullopt;
  }
  return member->get<std::int64_t>();
}

}  // namespace

SimulatedPower::SimulatedPower(AgentLog* log, std::optional<PowerSource> source,
                               std::optional<std::string> macName,
                               std::optional<std::filesystem::path> controlFile,
                               const PowerPlatform& facts)
    : log_(log),
      source_(source ? *source : MacInfo::powerSource(facts)),
      name_(macName ? *macName : MacInfo::computerName(facts)),
      controlFile_(std::move(controlFile)) {}

void SimulatedPower::record(const char* action) { actions_.emplace_back(action); }

void SimulatedPower::say(const std::string& line) {
  bool repeated = false;
  {
    std::lock_guard guard(lock_);
    repeated = line == lastLine_;
    lastLine_ = line;
  }
  if (!repeated && log_ != nullptr) log_->info(power, line);
}

void SimulatedPower::scheduleWake(std::int64_t at) {
  {
    std::lock_guard guard(lock_);
    record("scheduleWake");
    scheduled_ = at;
  }
  say("would wake at " + PowerTime::stamp(at));
}

void SimulatedPower::cancelAllWakes() {
  {
    std::lock_guard guard(lock_);
    record("cancelAllWakes");
    scheduled_.reset();
  }
  say("would cancel scheduled wakes");
}

void SimulatedPower::beginCheckIn() {
  std::lock_guard guard(lock_);
  record("beginCheckIn");
}

void SimulatedPower::endCheckIn() {
  std::lock_guard guard(lock_);
  record("endCheckIn");
}

void SimulatedPower::holdAwake(const std::string& label) {
  {
    std::lock_guard guard(lock_);
    record("holdAwake");
    holding_ = label;
  }
  say("would hold awake (" + label + ")");
}

void SimulatedPower::releaseAwake() {
  bool wasHolding = false;
  {
    std::lock_guard guard(lock_);
    record("releaseAwake");
    wasHolding = holding_.has_value();
    holding_.reset();
  }
  if (wasHolding) say("would release the awake assertions");
}

void SimulatedPower::declareUserActivity() {
  {
    std::lock_guard guard(lock_);
    record("declareUserActivity");
    ++userActivity_;
  }
  say("would declare user activity (full wake)");
}

PowerSource SimulatedPower::powerSource() {
  std::lock_guard guard(lock_);
  return source_;
}

std::string SimulatedPower::macName() { return name_; }

void SimulatedPower::applyPowerFile() {
  if (!controlFile_) return;
  const std::optional<std::string> content = readRegularFile(*controlFile_);
  if (!content) return;
  ::unlink(controlFile_->c_str());
  if (const auto offset = offsetIn(*content)) {
    {
      std::lock_guard guard(lock_);
      clockOffset_ = *offset;
    }
    if (log_ != nullptr) {
      log_->info(power, "simulate: clock offset now " + std::to_string(*offset) + " s");
    }
  } else if (log_ != nullptr) {
    log_->error(power, "simulate: ignored an unreadable power file");
  }
}

std::int64_t SimulatedPower::clockOffset() {
  applyPowerFile();
  std::lock_guard guard(lock_);
  return clockOffset_;
}

void SimulatedPower::set(const PowerSource& source) {
  std::lock_guard guard(lock_);
  source_ = source;
}

void SimulatedPower::clearActions() {
  std::lock_guard guard(lock_);
  actions_.clear();
}

std::optional<std::int64_t> SimulatedPower::scheduled() const {
  std::lock_guard guard(lock_);
  return scheduled_;
}

std::optional<std::string> SimulatedPower::holding() const {
  std::lock_guard guard(lock_);
  return holding_;
}

std::int64_t SimulatedPower::userActivity() const {
  std::lock_guard guard(lock_);
  return userActivity_;
}

std::vector<std::string> SimulatedPower::actions() const {
  std::lock_guard guard(lock_);
  return actions_;
}

}  // namespace torvo
