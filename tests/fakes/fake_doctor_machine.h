// An in-memory Doctor::Machine for tests: every probe answers from a public field, which starts
// as a machine where everything works (a running, enabled root service; the agent answering
// this user, who is at the screen; logind, the wake clock and the relay answering; one wired
// interface with Wake-on-LAN on). It records the relay addresses it was asked to check.
#pragma once

#include <string>
#include <vector>

#include "tools/doctor.h"

namespace torvo::test {

class FakeDoctorMachine : public Doctor::Machine {
 public:
  FakeDoctorMachine() {
    AgentStatus running;
    running.version = "9.8.7";
    running.relayHost = "relay.example";
    running.relayReachable = true;
    status = AppResponse{AppResponses::Status{running}};
  }

  Doctor::ServiceState service() override { return serviceState; }
  std::filesystem::path socketPath() override { return socket; }
  std::optional<Doctor::User> socketOwner() override { return owner; }
  AgentClient::Result agentStatus() override { return status; }
  Doctor::Outcome logind() override { return logindAnswer; }
  WakeClock::Probe wakeClock() override { return clock; }
  Doctor::Outcome relayHealth(const std::string& relay) override {
    relaysAsked.push_back(relay);
    return relayAnswer;
  }
  Doctor::User currentUser() override { return me; }
  std::optional<Doctor::User> consoleUser() override { return console; }
  std::vector<Doctor::WiredInterface> wiredInterfaces() override { return interfaces; }

  Doctor::ServiceState serviceState{.systemdRunning = true,
                                    .unitFile = "/lib/systemd/system/torvo-agent.service",
                                    .enabled = "enabled",
                                    .active = "active"};
  std::filesystem::path socket = "/var/run/Torvo/agent.sock";
  std::optional<Doctor::User> owner = Doctor::User{0, "root"};
  AgentClient::Result status;
  Doctor::Outcome logindAnswer;
  WakeClock::Probe clock{.canWake = true, .reason = ""};
  Doctor::Outcome relayAnswer;
  Doctor::User me{1000, "alice"};
  std::optional<Doctor::User> console = Doctor::User{1000, "alice"};
  std::vector<Doctor::WiredInterface> interfaces = {{"eth0", Doctor::WakeOnLan::on, ""}};

  std::vector<std::string> relaysAsked;
};

}  // namespace torvo::test
