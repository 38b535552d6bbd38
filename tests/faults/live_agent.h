// The agent running in this process for the relay fault tests: the real Agent with the real
// NtfyRelay (libcurl on a worker pool) and the real app socket server, on an io_context thread
// of its own, with fake power, fake system settings and a recording log. A phone paired before
// the start lets the tests send commands through the relay and read the agent's reports.
// Check-ins and reads of the agent's values are posted to the agent's thread; app requests go
// through the socket like the desktop app's.
// It follows no stream (no doorbell): the faulty front serves one whole answer per connection,
// and the check-ins under test are the ones the timer and the tests start.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include <asio.hpp>

#include "agent/agent.h"
#include "agent/relay.h"
#include "agent/worker_pool.h"
#include "app_socket/agent_client.h"
#include "app_socket/socket_server.h"
#include "kit/envelope.h"
#include "kit/ntfy_client.h"
#include "model/model_store.h"
#include "tests/fakes/fake_power.h"
#include "tests/fakes/fake_system_settings.h"
#include "tests/test_support.h"

namespace torvo::test {

inline constexpr const char* phoneKid = "phone00001";
inline constexpr const char* phoneTopic = "rr-faultsfaultsfaultsfault";

inline Bytes phoneKey() { return Bytes(32, 7); }

class LiveAgent {
 public:
  // Pairs the phone (confirmed) with the agent at `relay`, then starts the agent and its socket.
  explicit LiveAgent(const std::string& relay) {
    ::umask(022);
    DevicesFile devices(relay, phoneTopic);
    const std::int64_t now = NtfyRelay::systemNow();
    devices.devices.push_back(PairedDevice{phoneKid, phoneKey(), "Phone", now - 86400, now - 3600});
    FileStore(paths_.ownerUID).ensureDirectory(paths_.dataDir, 0755);
    ModelStore(paths_, log_).saveDevices(devices);

    // Health checks see a clock that runs thirty times faster, so that a relay that does not
    // answer costs a check-in about two seconds instead of a minute; attempts come 0.2 s apart.
    const double origin = NtfyRelay::systemNow();
    NtfyRelay::Environment environment{
        .now = [origin] { return origin + (NtfyRelay::systemNow() - origin) * 30; },
        .pathUsable = [] { return true; },
        .attemptSpacing = 0.2};
    agent_ = std::make_unique<Agent>(
        io_.get_executor(), paths_, power_, settings_, log_,
        AgentOptions{true, 30, 2, relay, Calendar{"UTC"}},
        [this, environment](const std::string& url, const std::string& topic) {
          return std::unique_ptr<RelayTransport>(
              std::make_unique<NtfyRelay>(url, topic, workers_, environment, sessions_.forRelay(url)));
        },
        [] { return static_cast<std::int64_t>(NtfyRelay::systemNow()); });
    Agent& agent = *agent_;
    server_ = std::make_unique<SocketServer>(
        io_.get_executor(), paths_.socket, PeerPolicy{.uid = PeerPolicy::Exactly{::getuid()}}, log_,
        [&agent](AppRequest request) { return agent.handle(std::move(request)); });
    server_->start(0600);
    thread_ = std::thread([this] { io_.run(); });
  }

  LiveAgent(const LiveAgent&) = delete;
  LiveAgent& operator=(const LiveAgent&) = delete;

  ~LiveAgent() {
    asio::post(io_, asio::use_future([this] { server_->stop(); })).get();
    guard_.reset();
    io_.stop();
    thread_.join();
  }

  // Starts a check-in on the agent's thread; the future is ready once it has finished.
  std::future<void> startCheckIn(Trigger trigger) {
    return asio::co_spawn(io_, agent_->checkIn(trigger), asio::use_future);
  }

  // Runs one check-in to its end; false when it did not end within a minute.
  bool checkIn(Trigger trigger) {
    auto done = startCheckIn(trigger);
    return done.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
  }

  // Reads something of the agent on its thread.
  template <class Read>
  auto read(Read reader) {
    return asio::post(io_, asio::use_future([this, reader] { return reader(*agent_); })).get();
  }

  // One request through the app socket, as the desktop app sends it.
  AgentClient::Result request(AppRequest request) {
    return AgentClient::blockingSend(request, paths_.socket, 10);
  }

  // True when the socket answers a status request with a status.
  bool answersStatus() {
    const auto answer = request(AppRequest{AppRequests::GetStatus{}});
    return answer && std::holds_alternative<AppResponses::Status>(answer->value);
  }

  const AgentPaths& paths() const { return paths_; }
  RecordingLog& log() { return log_; }

 private:
  TempDir home_;
  AgentPaths paths_ = AgentPaths::simulate(home_.path());
  RecordingLog log_;
  FakePower power_;
  FakeSystemSettings settings_;
  WorkerPool workers_{2};
  RelaySessions sessions_;
  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> guard_{io_.get_executor()};
  std::unique_ptr<Agent> agent_;
  std::unique_ptr<SocketServer> server_;
  std::thread thread_;
};

// The phone's side: publishes sealed commands to the relay and reads what the agent sent it.
class TestPhone {
 public:
  explicit TestPhone(const std::string& relay)
      : client_(relay, phoneTopic, std::make_shared<const HttpSession>()) {}

  void send(const Message& message) {
    HttpCancel cancel;
    client_.publish(*Envelope::seal(message, phoneKey(), phoneKid), cancel);
  }

  void sendWake(std::int64_t hours) {
    send(Command{CommandKind::wake, hours, "wake-" + std::to_string(++sent_),
                 static_cast<std::int64_t>(NtfyRelay::systemNow()), "Phone"});
  }

  // Everything the agent sent to this phone so far, opened.
  std::vector<Message> received() {
    HttpCancel cancel;
    std::vector<Message> out;
    for (const auto& event : client_.poll(NtfySince::all(), cancel)) {
      if (!event.message) continue;
      if (auto opened = Envelope::openMessage(*event.message, phoneKey(), phoneKid)) {
        out.push_back(*opened);
      }
    }
    return out;
  }

  // How many state reports the agent sent to this phone so far.
  std::size_t reports() {
    std::size_t n = 0;
    for (const auto& message : received()) n += std::holds_alternative<MacState>(message.payload);
    return n;
  }

 private:
  NtfyClient client_;
  int sent_ = 0;
};

}  // namespace torvo::test
