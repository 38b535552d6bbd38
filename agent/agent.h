// agent/ (torvo_agent): the agent's core: this check-in cycle, the message engine, the relay
// transport, the handling of app requests, the runtime and the command line. It builds on
// app_socket, setup, power, model, base and kit.
//
// Agent: the heart of the service. It owns the device list, the computer's one setting and the
// persisted state, and runs the check-in cycle: look at the relay, read what the phones sent,
// apply it through the Engine, hold or release the computer, report to the phones, keep the
// next scheduled system wake in place, and save. Concurrent check-in triggers merge: at most
// one check-in runs, and any number of arrivals during it cost one more pass. While the relay
// is reachable the agent follows its topic's stream through a Doorbell: a message it did not
// publish itself starts a check-in at once.
// Every operation runs on the agent's thread (the io_context the executor belongs to); its
// suspension points are the co_awaits on the relay and on other check-ins. Not thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include <asio.hpp>

#include "agent/command_line.h"
#include "agent/doorbell.h"
#include "agent/engine.h"
#include "agent/relay.h"
#include "agent/with_timeout.h"
#include "app_socket/ipc.h"
#include "base/agent_log.h"
#include "base/paths.h"
#include "kit/envelope.h"
#include "model/model.h"
#include "model/model_store.h"
#include "model/setup_records.h"
#include "power/power.h"
#include "setup/system_settings.h"

namespace torvo {

// Why a check-in runs. `message`: the doorbell heard a message on the relay; like the timer it
// goes straight to the poll while the relay is known reachable and forces no report.
enum class Trigger { launch, systemWake, timer, app, message };

std::string_view toText(Trigger trigger);   // "launch", "system wake", "timer", "app", "message"
std::string_view labelOf(Trigger trigger);  // the check-in line's label: "scheduled" for timer

// The short text of a relay failure in log lines: "HTTP <status>", "network <code>" or "error".
std::string shortDescription(std::exception_ptr error);

class Agent {
 public:
  // Makes the relay connection of one check-in from a relay URL and a topic.
  using MakeRelay =
      std::function<std::unique_ptr<RelayTransport>(const std::string& relay, const std::string& topic)>;
  using Clock = std::function<std::int64_t()>;

  static constexpr double sendTimeout = 15;
  // How many ids of its own publishes the agent remembers to tell its own events from the phones'.
  static constexpr std::size_t ownEventsKept = 256;

  // Prepares the folders and loads the files; throws the file store's, the decoder's or the
  // system's error (start-up then refuses to start). `doorbell`, when given, must outlive the
  // agent; without one the agent checks in on its other triggers alone.
  Agent(asio::any_io_executor executor, AgentPaths paths, PowerControl& power,
        SystemSettings& sys, AgentLog& log, AgentOptions options, MakeRelay makeRelay,
        Clock clock, Doorbell* doorbell = nullptr);
  Agent(const Agent&) = delete;
  Agent& operator=(const Agent&) = delete;

  // Runs or joins a check-in; returns once a check-in that began after this call has finished,
  // or at once while halted. Never throws: a pass that fails is logged and the cycle goes on.
  // A pass stops where it resumes from a relay call into a halted agent, and takes in nothing
  // from a relay topic that a pairing reset left while it waited.
  asio::awaitable<void> checkIn(Trigger trigger);
  // Starts an app check-in without waiting for it.
  void kick();
  // The doorbell heard the message event `eventID`: unless the agent published it itself,
  // starts a message check-in, or, while a check-in runs, one more pass after it (decided once
  // the pass's own publishes have told their ids).
  void ring(const std::string& eventID);

  // Seconds until the next timer check-in: the pairing pace while a pairing code is open.
  std::int64_t nextPollDelay(std::optional<std::int64_t> now = std::nullopt) const;
  // Sleeps until the next timer check-in is due, or until cancelPollWait().
  asio::awaitable<void> waitForNextPoll();
  // Ends the current timer wait early.
  void cancelPollWait();

  // The orderly stop: cancels the agent's wakes, releases any hold, saves the state.
  void stop();

  // Makes the power hold match the Wake; ends a Wake that has run out.
  void applyHold(std::int64_t now);
  // Keeps exactly one scheduled system wake at the next check-in time.
  void ensureWakeChain(std::int64_t now);
  // Seals `message` for each recipient in turn and publishes it; true when every send worked.
  asio::awaitable<bool> publish(RelayTransport& relay, const Message& message,
                                const std::vector<std::string>& kids, double timeout);
  // The log text of an accepted phone message, given the state after the whole batch.
  static std::string describe(const Inbound& inbound, const AgentStateFile& state,
                              const Calendar& calendar);

  // The facts a state report needs.
  MacFacts currentFacts();

  // Handles one request of the desktop app; never throws (failures are `refused` answers).
  asio::awaitable<AppResponse> handle(AppRequest request);
  // The status the app shows at `now`.
  AgentStatus status(std::int64_t now);

  const DevicesFile& devices() const { return devices_; }
  const AgentConfig& config() const { return config_; }
  const AgentStateFile& state() const { return state_; }
  const std::optional<Backup>& backup() const { return backup_; }
  bool halted() const { return halted_; }
  const AgentOptions& options() const { return options_; }

  void saveDevices();
  void saveConfig();
  void saveState();
  void saveBackup();

 private:
  asio::awaitable<void> runCheckIn(Trigger trigger, bool force);
  // Opens the events of a successful poll, confirms new devices and records the read.
  std::vector<Inbound> takeIn(const std::vector<NtfyEvent>& events, std::int64_t now);
  void logCheckIn(Trigger trigger, bool read, std::size_t requests);
  // Points the doorbell at the current relay and topic while the relay is reachable and the
  // agent not halted; stops it otherwise.
  void followRelay();
  // Remembers the id of an event the agent published, dropping the oldest beyond `ownEventsKept`.
  void rememberOwn(const std::string& eventID);
  // Whether a ring heard during the pass that just ended was a message from elsewhere.
  bool takeRings();
  // Handles the inbound messages and brings the setting, the hold and the schedule up to date.
  Engine::Handled apply(const std::vector<Inbound>& inbound, std::int64_t now);
  void info(AgentLog::Category category, const std::string& message) { log_.info(category, message); }

  // Every request but the login-items read, which is the one that waits.
  AppResponse respond(const AppRequest& request, std::int64_t now);
  AppResponse setCheckIn(std::int64_t minutes, std::int64_t now);
  AppResponse addDevice(std::int64_t now);
  AppResponse cancelPairing(const std::string& kid);
  AppResponse removeDevice(const std::string& kid);
  AppResponse resetPairing();
  AppResponse wakeNow(std::int64_t hours, std::int64_t now);
  AppResponse endWake(std::int64_t now);
  asio::awaitable<AppResponse> loginItems(std::int64_t now);
  AppResponse applySetup(const SetupChoices& choices, std::int64_t now);
  AppResponse noteUserChange(const UserChange& change, std::int64_t now);
  AppResponse undoSetup();
  // The setup status, read again once the cached one is 121 seconds old.
  SetupStatus setupStatus(std::int64_t now);
  std::string hhmm(std::int64_t t) const { return Engine::clock(t, options_.calendar); }

  asio::any_io_executor executor_;
  AgentPaths paths_;
  PowerControl& power_;
  SystemSettings& sys_;
  AgentLog& log_;
  AgentOptions options_;
  MakeRelay makeRelay_;
  Clock clock_;
  Doorbell* doorbell_;
  ModelStore files_;

  DevicesFile devices_;
  AgentConfig config_;
  AgentStateFile state_;
  std::optional<Backup> backup_;

  bool running_ = false;
  bool again_ = false;
  bool forceReport_ = false;
  std::vector<std::shared_ptr<asio::steady_timer>> waiters_;
  bool halted_ = false;
  std::optional<std::int64_t> holdingUntil_;
  std::shared_ptr<asio::steady_timer> pollWait_;
  std::deque<std::string> ownOrder_;
  std::unordered_set<std::string> ownEvents_;
  // Rings heard while a check-in ran, judged when its pass ends; `ringsOverflowed_` when more
  // came than are kept.
  std::vector<std::string> pendingRings_;
  bool ringsOverflowed_ = false;
  std::optional<std::pair<std::int64_t, SetupStatus>> setupCache_;
  std::optional<std::pair<std::int64_t, std::optional<std::vector<LoginItem>>>> loginItemsCache_;
  // Runs the blocking login-items read off the agent's thread.
  asio::thread_pool blocking_{1};
};

}  // namespace torvo
