// The agent's handling of the desktop app's requests.
#include <algorithm>
#include <cstdlib>

#include "agent/agent.h"
#include "base/display_text.h"
#include "base/product.h"
#include "kit/pairing.h"
#include "kit/url.h"
#include "setup/setup.h"

namespace torvo {
namespace {

using Category = AgentLog::Category;
namespace Q = AppRequests;
namespace R = AppResponses;

constexpr std::int64_t loginItemsCacheSeconds = 4;
constexpr std::int64_t setupCacheSeconds = 121;

std::string joined(const std::vector<std::string>& items) {
  std::string out;
  for (const auto& item : items) out += (out.empty() ? "" : ", ") + item;
  return out;
}

AppResponse ok() { return AppResponse{R::Ok{}}; }

// Runs on the blocking pool: the read may take seconds (it runs an external tool).
asio::awaitable<std::optional<std::vector<LoginItem>>> readLoginItems(SystemSettings& sys) {
  co_return sys.loginItems();
}

// Requests that only look: they never resume a halted agent.
bool onlyLooks(const AppRequest& request) {
  return std::holds_alternative<Q::GetStatus>(request.value) ||
         std::holds_alternative<Q::UndoSetup>(request.value) ||
         std::holds_alternative<Q::GetLoginItems>(request.value);
}

}  // namespace

asio::awaitable<AppResponse> Agent::handle(AppRequest request) {
  const std::int64_t now = clock_();
  if (halted_ && !onlyLooks(request)) {
    halted_ = false;
    info(Category::app, "resuming after undo");
  }

  if (std::holds_alternative<Q::GetLoginItems>(request.value)) {
    AppResponse response = co_await loginItems(now);
    co_return response;
  }
  AppResponse response = respond(request, now);
  // A reset moves the agent to a new topic (and perhaps relay), an undo halts it, any other
  // request after an undo resumes it: the doorbell follows.
  followRelay();
  co_return response;
}

AppResponse Agent::respond(const AppRequest& request, std::int64_t now) {
  return std::visit(
      [&](const auto& r) -> AppResponse {
        using T = std::decay_t<decltype(r)>;
        if constexpr (std::is_same_v<T, Q::GetStatus>) return AppResponse{R::Status{status(now)}};
        else if constexpr (std::is_same_v<T, Q::SetCheckIn>) return setCheckIn(r.minutes, now);
        else if constexpr (std::is_same_v<T, Q::AddDevice>) return addDevice(now);
        else if constexpr (std::is_same_v<T, Q::CancelPairing>) return cancelPairing(r.kid);
        else if constexpr (std::is_same_v<T, Q::RemoveDevice>) return removeDevice(r.kid);
        else if constexpr (std::is_same_v<T, Q::ResetPairing>) return resetPairing();
        else if constexpr (std::is_same_v<T, Q::WakeNow>) return wakeNow(r.hours, now);
        else if constexpr (std::is_same_v<T, Q::EndWake>) return endWake(now);
        else if constexpr (std::is_same_v<T, Q::CheckInNow>) {
          info(Category::app, "check in now (from the menu)");
          kick();
          return ok();
        } else if constexpr (std::is_same_v<T, Q::ApplySetup>) return applySetup(r.choices, now);
        else if constexpr (std::is_same_v<T, Q::NoteUserChange>) return noteUserChange(r.change, now);
        else if constexpr (std::is_same_v<T, Q::UndoSetup>) return undoSetup();
        else return ok();
      },
      request.value);
}

AppResponse Agent::setCheckIn(std::int64_t minutes, std::int64_t now) {
  config_.setCheckInMinutes(minutes);
  saveConfig();
  ensureWakeChain(now);
  saveState();
  info(Category::app, "check-in interval now " + std::to_string(config_.checkInMinutes()) + " min (on the Mac)");
  kick();
  return ok();
}

AppResponse Agent::addDevice(std::int64_t now) {
  devices_.pruneExpired(now);
  if (devices_.devices.size() >= DevicesFile::maxDevices) {
    return AppResponse{R::Refused{"You can pair up to " + std::to_string(DevicesFile::maxDevices) +
                                  " phones. Remove one first."}};
  }
  if (!devices_.relayURL()) return AppResponse{R::Refused{"The relay address isn't valid."}};

  const Pairing pairing =
      Pairing::generate(devices_.relay, devices_.topic, DisplayText::clean(power_.macName(), 64, "Mac"));
  const auto link = pairing.url();
  if (!link) return AppResponse{R::Refused{"The relay address isn't valid."}};

  devices_.devices.push_back(PairedDevice{pairing.keyID, pairing.keyData, "New device", now, std::nullopt});
  saveDevices();
  info(Category::app, "new pairing code " + pairing.keyID + " (expires in 5 min; checking every " +
                          std::to_string(options_.pairingPollSeconds) + " s until then)");
  cancelPollWait();
  return AppResponse{R::Pairing{*link, pairing.keyID, Engine::addSeconds(now, Engine::pairingLifetime)}};
}

AppResponse Agent::cancelPairing(const std::string& kid) {
  const PairedDevice* device = devices_.key(kid);
  if (device != nullptr && !device->isConfirmed()) {
    std::erase_if(devices_.devices, [&](const PairedDevice& d) { return d.kid == kid; });
    saveDevices();
    info(Category::app, "pairing code " + kid + " cancelled");
  }
  return ok();
}

AppResponse Agent::removeDevice(const std::string& kid) {
  const PairedDevice* device = devices_.key(kid);
  if (device != nullptr) {
    const std::optional<std::string> name =
        device->isConfirmed() ? std::optional<std::string>(device->name) : std::nullopt;
    std::erase_if(devices_.devices, [&](const PairedDevice& d) { return d.kid == kid; });
    saveDevices();
    info(Category::app, "removed device " + AgentLog::device(kid, name));
  }
  return ok();
}

AppResponse Agent::resetPairing() {
  devices_ = DevicesFile(options_.initialRelay, Pairing::randomTopic());
  state_.lastNtfyID.reset();
  state_.lastReportedState.reset();
  saveDevices();
  saveState();
  info(Category::app, "removed all devices and moved to a new topic");
  return ok();
}

AppResponse Agent::wakeNow(std::int64_t hours, std::int64_t now) {
  Engine::wake(state_, hours, WakeRecord{"this Mac", now, std::nullopt}, now, now);
  info(Category::app, "Wake from this Mac until " + hhmm(*state_.awakeUntil));
  power_.declareUserActivity();
  applyHold(now);
  saveState();
  kick();
  return ok();
}

AppResponse Agent::endWake(std::int64_t now) {
  if (Engine::isAwake(state_, now) && (!state_.wakeSentAt || *state_.wakeSentAt <= now)) {
    state_.awakeUntil = now;
    info(Category::app, "End Wake from this Mac");
  } else {
    info(Category::app, "End Wake from this Mac: no Wake to end");
  }
  applyHold(now);
  saveState();
  kick();
  return ok();
}

asio::awaitable<AppResponse> Agent::loginItems(std::int64_t now) {
  if (loginItemsCache_ && now - loginItemsCache_->first <= loginItemsCacheSeconds) {
    co_return AppResponse{R::LoginItems{loginItemsCache_->second}};
  }
  // The awaited operation is built outside the co_await expression (g++ 12 mishandles
  // temporaries there).
  auto read = asio::co_spawn(blocking_, readLoginItems(sys_), asio::use_awaitable);
  std::optional<std::vector<LoginItem>> items = co_await std::move(read);
  loginItemsCache_ = std::pair{now, items};
  co_return AppResponse{R::LoginItems{std::move(items)}};
}

AppResponse Agent::applySetup(const SetupChoices& choices, std::int64_t now) {
  Setup::Applied applied = Setup::apply(choices, sys_, backup_, now);
  backup_ = std::move(applied.backup);
  saveBackup();
  setupCache_.reset();
  if (applied.failed.empty()) {
    info(Category::app, "setup applied");
    return ok();
  }
  const std::string failures = joined(applied.failed);
  info(Category::app, "setup applied; failed: " + failures);
  return AppResponse{R::Refused{"Couldn't change: " + failures + "."}};
}

AppResponse Agent::noteUserChange(const UserChange& change, std::int64_t now) {
  backup_ = Setup::record(change, backup_, now);
  saveBackup();
  setupCache_.reset();
  return ok();
}

AppResponse Agent::undoSetup() {
  const UndoResult result = backup_ ? Setup::undo(*backup_, sys_) : UndoResult{};
  halted_ = true;
  power_.cancelAllWakes();
  power_.releaseAwake();
  holdingUntil_.reset();
  state_.scheduledWake.reset();
  state_.awakeUntil.reset();
  state_.wakeSentAt.reset();
  saveState();
  if (result.failed.empty()) {
    backup_.reset();
    files_.removeBackup();
  }
  setupCache_.reset();
  info(Category::app, "undo: restored " + std::to_string(result.restored.size()) + ", failed " +
                          std::to_string(result.failed.size()));
  return AppResponse{R::Undone{result}};
}

SetupStatus Agent::setupStatus(std::int64_t now) {
  if (setupCache_ && now - setupCache_->first < setupCacheSeconds) return setupCache_->second;
  SetupStatus status = Setup::status(sys_, backup_);
  setupCache_ = std::pair{now, status};
  return status;
}

AgentStatus Agent::status(std::int64_t now) {
  AgentStatus status;
  status.version = std::string(Product::version);
  status.simulate = options_.simulate;
  if (Engine::isAwake(state_, now)) status.awakeUntil = state_.awakeUntil;
  status.wokenBy = state_.wokenBy;
  status.lastPhoneWake = state_.lastPhoneWake;
  status.lastCheckIn = state_.lastCheckIn;
  status.nextCheckIn = state_.scheduledWake;
  const PowerSource source = power_.powerSource();
  status.battery = source.battery;
  status.charging = source.charging;
  status.onCharger = source.onCharger;
  status.config = config_;
  for (const auto& device : devices_.devices) {
    status.devices.push_back(DeviceInfo{device.kid, device.name, device.pairedAt, device.lastSeen});
  }
  const auto url = devices_.relayURL();
  status.relayHost = url && url->host && !url->host->empty() ? *url->host : devices_.relay;
  status.relayReachable = state_.relayReachable;
  status.clockLooksWrong = state_.relaySkew && (*state_.relaySkew > 300 || *state_.relaySkew < -300);
  status.drops = state_.drops;
  status.setup = setupStatus(now);
  status.macName = power_.macName();
  return status;
}

}  // namespace torvo
