#include "agent/agent.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "base/file_store.h"
#include "kit/ntfy_http.h"
#include "kit/url.h"

namespace torvo {
namespace {

using Category = AgentLog::Category;

std::string joined(const std::vector<std::string>& items, std::string_view separator) {
  std::string out;
  for (const auto& item : items) {
    if (!out.empty()) out += separator;
    out += item;
  }
  return out;
}

// The platform's URL-loading codes for the transport failures, as support people know them.
int networkCode(TransportError::Kind kind) {
  switch (kind) {
    case TransportError::Kind::cannotConnect: return -1004;
    case TransportError::Kind::timedOut: return -1001;
    case TransportError::Kind::cancelled: return -999;
    case TransportError::Kind::tls: return -1200;
    case TransportError::Kind::tooLarge: return -1103;
    case TransportError::Kind::failed: return -1;
  }
  return -1;
}

// What a check-in that threw says in its error line.
std::string failureText(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const NtfyError&) {
    return shortDescription(error);
  } catch (const TransportError&) {
    return shortDescription(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "error";
  }
}

}  // namespace

std::string_view toText(Trigger trigger) {
  switch (trigger) {
    case Trigger::launch: return "launch";
    case Trigger::systemWake: return "system wake";
    case Trigger::timer: return "timer";
    case Trigger::app: return "app";
    case Trigger::message: return "message";
  }
  return "app";
}

std::string_view labelOf(Trigger trigger) {
  return trigger == Trigger::timer ? "scheduled" : toText(trigger);
}

std::string shortDescription(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const NtfyError& e) {
    return "HTTP " + std::to_string(e.status);
  } catch (const TransportError& e) {
    return "network " + std::to_string(networkCode(e.kind()));
  } catch (...) {
    return "error";
  }
}

Agent::Agent(asio::any_io_executor executor, AgentPaths paths, PowerControl& power,
             SystemSettings& sys, AgentLog& log, AgentOptions options, MakeRelay makeRelay,
             Clock clock, Doorbell* doorbell)
    : executor_(std::move(executor)),
      paths_(std::move(paths)),
      power_(power),
      sys_(sys),
      log_(log),
      options_(std::move(options)),
      makeRelay_(std::move(makeRelay)),
      clock_(std::move(clock)),
      doorbell_(doorbell),
      files_(paths_, log) {
  const FileStore store(paths_.ownerUID);
  store.ensureDirectory(paths_.dataDir, 0755);
  store.ensureDirectory(paths_.logDir, 0755);

  LoadedModel model = files_.load(options_.initialRelay);
  devices_ = std::move(model.devices);
  config_ = model.config;
  state_ = std::move(model.state);
  backup_ = std::move(model.backup);

  const std::int64_t now = clock_();
  if (state_.awakeUntil && now < *state_.awakeUntil) {
    info(Category::agent, "Wake from before the restart continues until " + hhmm(*state_.awakeUntil));
  }
  info(Category::agent, "checks for a Wake every " + std::to_string(config_.checkInMinutes()) + " min");
}

asio::awaitable<void> Agent::checkIn(Trigger trigger) {
  if (halted_) co_return;
  if (trigger != Trigger::timer && trigger != Trigger::message) forceReport_ = true;

  if (running_) {
    again_ = true;
    auto waiter = std::make_shared<asio::steady_timer>(executor_, asio::steady_timer::time_point::max());
    waiters_.push_back(waiter);
    asio::error_code ignored;
    co_await waiter->async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    co_return;
  }

  running_ = true;
  do {
    again_ = false;
    const bool force = forceReport_;
    forceReport_ = false;
    auto resumed = std::move(waiters_);
    waiters_.clear();
    // A pass that throws must not leave `running_` set: every later trigger, the timer's
    // included, would wait for it forever. It is logged, its waiters go on, and so does the cycle.
    std::exception_ptr failure;
    try {
      auto pass = runCheckIn(trigger, force);
      co_await std::move(pass);
    } catch (...) {
      failure = std::current_exception();
    }
    if (failure) {
      log_.error(Category::agent, "check-in failed (" + failureText(failure) + ")");
      power_.endCheckIn();
    }
    for (auto& waiter : resumed) waiter->cancel();
    if (takeRings()) again_ = true;
    followRelay();
    // An undo during the pass halts the agent: the merged next pass does not run.
  } while (again_ && !halted_);
  running_ = false;
  for (auto& waiter : waiters_) waiter->cancel();
  waiters_.clear();
}

void Agent::kick() {
  asio::co_spawn(executor_, checkIn(Trigger::app), asio::detached);
}

void Agent::ring(const std::string& eventID) {
  if (halted_ || ownEvents_.contains(eventID)) return;
  if (running_) {
    // The pass may be publishing: the relay can show the event of a publish on the stream
    // before the publish has returned its id, so the ring is judged when the pass ends.
    if (pendingRings_.size() < ownEventsKept) {
      pendingRings_.push_back(eventID);
    } else {
      ringsOverflowed_ = true;
    }
    return;
  }
  asio::co_spawn(executor_, checkIn(Trigger::message), asio::detached);
}

bool Agent::takeRings() {
  const bool overflowed = std::exchange(ringsOverflowed_, false);
  const bool heard = std::ranges::any_of(
      pendingRings_, [this](const std::string& id) { return !ownEvents_.contains(id); });
  pendingRings_.clear();
  return overflowed || heard;
}

void Agent::rememberOwn(const std::string& eventID) {
  if (!ownEvents_.insert(eventID).second) return;
  ownOrder_.push_back(eventID);
  if (ownOrder_.size() > ownEventsKept) {
    ownEvents_.erase(ownOrder_.front());
    ownOrder_.pop_front();
  }
}

void Agent::followRelay() {
  if (doorbell_ == nullptr) return;
  if (!halted_ && state_.relayReachable == true && Url::parse(devices_.relay)) {
    doorbell_->follow(devices_.relay, devices_.topic, [this](const std::string& id) { ring(id); });
  } else {
    doorbell_->stop();
  }
}

asio::awaitable<void> Agent::runCheckIn(Trigger trigger, bool force) {
  power_.beginCheckIn();
  const std::int64_t now = clock_();

  const std::vector<std::string> expired = devices_.pruneExpired(now);
  if (!expired.empty()) {
    info(Category::agent, "pairing code expired unused (" + joined(expired, ",") + ")");
    saveDevices();
  }

  const bool due = state_.scheduledWake && now >= *state_.scheduledWake;
  // A scheduled wake is an alarm timer of the process that armed it and ended with it: the
  // saved one may be gone (a crash, a kill), so the launch check-in arms it again when it is
  // still the one to keep (the phones were told that time), and otherwise the next one.
  const bool keeps = state_.scheduledWake &&
                     !Engine::needsReschedule(state_.scheduledWake, state_.scheduledEvery,
                                              config_.nextCheckIn(now, options_.calendar), config_, now);
  if (trigger == Trigger::launch && keeps) {
    power_.scheduleWake(*state_.scheduledWake);
  } else {
    ensureWakeChain(now);
  }

  // The pass's relay connection is made for the relay and topic of this moment. The app may
  // act while the pass waits on the relay: after an undo (`halted_`) the pass stops where it
  // resumes, scheduling, reading, holding and sending nothing more; after a pairing reset
  // (`moved`) the connection still points at the old topic, so what it answers is not taken in.
  const std::string relayText = devices_.relay;
  const std::string topic = devices_.topic;
  const auto moved = [&] { return devices_.relay != relayText || devices_.topic != topic; };
  std::unique_ptr<RelayTransport> relay;
  if (Url::parse(relayText)) relay = makeRelay_(relayText, topic);

  bool reachable = false;
  std::optional<std::int64_t> skew;
  bool stale = false;  // the relay or topic changed while the pass waited
  // A message check-in is as cheap as a timer one: the doorbell only rings while the relay is
  // known reachable.
  const bool frequent = trigger == Trigger::timer || trigger == Trigger::message;
  if (relay && frequent && state_.relayReachable == true) {
    reachable = true;
    skew = state_.relaySkew;
  } else if (relay) {
    const RelayHealth health = co_await relay->health(frequent ? 10 : 60);
    if (halted_) {
      power_.endCheckIn();
      co_return;
    }
    stale = moved();
    reachable = health.reachable;
    skew = health.skew;
  }
  if (!stale) {
    if (state_.relayReachable != reachable) {
      log_.info(Category::relay, std::string(reachable ? "relay reachable" : "relay not reachable"));
    }
    state_.relayReachable = reachable;
    state_.relaySkew = skew;
  }

  bool read = false;
  std::vector<Inbound> inbound;
  if (reachable && !stale) {
    const NtfySince since =
        state_.lastNtfyID
            ? NtfySince::id(*state_.lastNtfyID)
            : NtfySince::unix(Engine::addSeconds(now, -ReplayGuard::maxAge(config_.checkInMinutes())));
    std::vector<NtfyEvent> events;
    std::exception_ptr failure;
    try {
      events = co_await relay->poll(since);
    } catch (...) {
      failure = std::current_exception();
    }
    if (halted_) {
      power_.endCheckIn();
      co_return;
    }
    // What the old topic answered is not taken in: no drops counted, no cursor kept for the new.
    stale = moved();
    if (!stale && failure) {
      log_.error(Category::relay, "poll failed (" + shortDescription(failure) + ")");
      state_.relayReachable = false;
    } else if (!stale) {
      read = true;
      inbound = takeIn(events, now);
    }
  }

  if (trigger != Trigger::timer || due) logCheckIn(trigger, read, inbound.size());
  const Engine::Handled handled = apply(inbound, now);

  const MacState report = Engine::stateMessage(config_, state_, currentFacts(), now);
  if (read) {
    for (const auto& sent : handled.acks) {
      if (halted_) break;
      const std::vector<std::string> sender(1, sent.first);
      const Message ack(sent.second);
      auto sending = publish(*relay, ack, sender, sendTimeout);
      co_await std::move(sending);
    }
    if (!halted_ && (!inbound.empty() || due || force || !state_.lastReportedState ||
                     *state_.lastReportedState != report.state)) {
      std::vector<std::string> kids;
      for (const auto& device : devices_.devices) {
        if (device.isConfirmed()) kids.push_back(device.kid);
      }
      const Message message(report);
      auto sending = publish(*relay, message, kids, sendTimeout);
      if (co_await std::move(sending)) state_.lastReportedState = report.state;
    }
    if (halted_) {
      power_.endCheckIn();
      co_return;
    }
  }

  saveState();
  power_.endCheckIn();
}

std::vector<Inbound> Agent::takeIn(const std::vector<NtfyEvent>& events, std::int64_t now) {
  std::vector<std::string> confirmedBefore;
  for (const auto& device : devices_.devices) {
    if (device.isConfirmed()) confirmedBefore.push_back(device.kid);
  }
  std::vector<Inbound> inbound =
      Engine::receive(events, devices_, state_, config_, now, [this](DropReason reason) {
        log_.debug(Category::relay, "dropped a message: " + std::string(toText(reason)));
      });
  if (!events.empty()) state_.lastNtfyID = events.back().id;
  for (const auto& device : devices_.devices) {
    if (device.isConfirmed() &&
        std::find(confirmedBefore.begin(), confirmedBefore.end(), device.kid) == confirmedBefore.end()) {
      info(Category::agent, "paired device " + AgentLog::device(device.kid, device.name));
    }
  }
  if (!events.empty() || !inbound.empty()) saveDevices();
  state_.lastCheckIn = now;
  return inbound;
}

void Agent::logCheckIn(Trigger trigger, bool read, std::size_t requests) {
  const std::string readPart =
      read ? "relay read, " + std::to_string(requests) + " request(s)" : "relay not reachable";
  const std::string next = state_.scheduledWake ? hhmm(*state_.scheduledWake) : "none";
  info(Category::agent, "check-in (" + std::string(labelOf(trigger)) + "): " + readPart + ", next at " + next);
}

Engine::Handled Agent::apply(const std::vector<Inbound>& inbound, std::int64_t now) {
  const Engine::Handled handled = Engine::handle(inbound, config_, state_, now, options_.calendar);
  for (const auto& in : inbound) info(Category::agent, describe(in, state_, options_.calendar));
  if (handled.configChanged) {
    saveConfig();
    ensureWakeChain(now);
    info(Category::agent,
         "check-in interval now " + std::to_string(config_.checkInMinutes()) + " min (from a phone)");
  }
  if (handled.woke) power_.declareUserActivity();
  applyHold(now);
  return handled;
}

std::int64_t Agent::nextPollDelay(std::optional<std::int64_t> now) const {
  const std::int64_t t = now ? *now : clock_();
  const bool pairing = std::any_of(devices_.devices.begin(), devices_.devices.end(), [&](const PairedDevice& d) {
    // In 128 bits: a stored pairedAt and a simulated clock may lie at opposite ends of the range.
    return !d.isConfirmed() && static_cast<__int128>(t) - d.pairedAt < Engine::pairingLifetime;
  });
  return pairing ? std::min(options_.pollSeconds, options_.pairingPollSeconds) : options_.pollSeconds;
}

asio::awaitable<void> Agent::waitForNextPoll() {
  const std::int64_t delay = nextPollDelay();
  auto wait = std::make_shared<asio::steady_timer>(executor_, std::chrono::seconds(delay));
  pollWait_ = wait;
  asio::error_code ignored;
  co_await wait->async_wait(asio::redirect_error(asio::use_awaitable, ignored));
  if (pollWait_ == wait) pollWait_.reset();
}

void Agent::cancelPollWait() {
  if (pollWait_) pollWait_->cancel();
}

void Agent::stop() {
  if (doorbell_ != nullptr) doorbell_->stop();
  power_.cancelAllWakes();
  power_.releaseAwake();
  state_.scheduledWake.reset();
  saveState();
}

void Agent::applyHold(std::int64_t now) {
  if (const auto ended = Engine::tick(state_, now)) {
    info(Category::power, "Wake ended at " + hhmm(*ended) + "; macOS decides sleep now");
  }
  if (!state_.awakeUntil) {
    power_.releaseAwake();
    holdingUntil_.reset();
    return;
  }
  const std::int64_t until = *state_.awakeUntil;
  power_.holdAwake("awake until " + hhmm(until));
  if (holdingUntil_ != until) {
    std::string line = "holding the Mac awake until " + hhmm(until);
    if (const auto& by = state_.wokenBy) {
      line += " (Wake from " + (by->kid ? AgentLog::device(*by->kid, by->name) : by->name) + ")";
    }
    info(Category::power, line);
    holdingUntil_ = until;
  }
}

void Agent::ensureWakeChain(std::int64_t now) {
  const std::int64_t desired = config_.nextCheckIn(now, options_.calendar);
  if (!Engine::needsReschedule(state_.scheduledWake, state_.scheduledEvery, desired, config_, now)) return;
  power_.scheduleWake(desired);
  state_.scheduledWake = desired;
  state_.scheduledEvery = config_.checkInMinutes();
}

asio::awaitable<bool> Agent::publish(RelayTransport& relay, const Message& message,
                                     const std::vector<std::string>& kids, double timeout) {
  if (kids.empty()) co_return true;
  bool allSent = true;
  const std::string type(message.typeName());
  for (const auto& kid : kids) {
    // An undo while an earlier send was under way: nothing more goes out.
    if (halted_) co_return false;
    const PairedDevice* device = devices_.key(kid);
    if (device == nullptr) continue;
    const std::string name = device->name;
    std::optional<std::string> sealed;
    try {
      auto result = Envelope::seal(message, device->key(), kid);
      if (result) sealed = std::move(*result);
    } catch (const std::exception&) {
      // A key the cipher refuses: skip this device silently.
    }
    if (!sealed) continue;
    auto send = withTimeout(timeout, relay.publish(std::move(*sealed)));
    const std::optional<std::optional<std::string>> sent = co_await std::move(send);
    if (sent && *sent) rememberOwn(**sent);
    if (!sent) {
      log_.error(Category::relay, "couldn't send " + type + " to " + AgentLog::device(kid, name));
      allSent = false;
    }
  }
  if (allSent) log_.info(Category::relay, "sent " + type + " to " + std::to_string(kids.size()) + " device(s)");
  co_return allSent;
}

std::string Agent::describe(const Inbound& inbound, const AgentStateFile& state,
                            const Calendar& calendar) {
  const std::string who = AgentLog::device(inbound.kid, inbound.deviceName);
  const Message& message = inbound.message;
  if (const auto* change = std::get_if<ConfigChange>(&message.payload)) {
    return "config from " + who + ": check-in " +
           (change->checkInMinutes ? std::to_string(*change->checkInMinutes) + " min" : "unchanged");
  }
  if (const auto* command = std::get_if<Command>(&message.payload)) {
    switch (command->kind) {
      case CommandKind::wake:
        return "Wake " + (command->hours ? std::to_string(*command->hours) + " h" : "(default hours)") +
               " from " + who + ": " +
               (state.awakeUntil ? "awake until " + Engine::clock(*state.awakeUntil, calendar)
                                 : "not applied");
      case CommandKind::status: return "status from " + who;
      case CommandKind::end: return "End Wake from " + who;
    }
  }
  return std::string(message.typeName()) + " from " + who;
}

MacFacts Agent::currentFacts() {
  const PowerSource source = power_.powerSource();
  return MacFacts{source.battery, source.charging, source.onCharger, power_.macName(),
                  options_.calendar.timeZone};
}

void Agent::saveDevices() { files_.saveDevices(devices_); }
void Agent::saveConfig() { files_.saveConfig(config_); }
void Agent::saveState() { files_.saveState(state_); }
void Agent::saveBackup() {
  if (backup_) files_.saveBackup(*backup_);
}

}  // namespace torvo
