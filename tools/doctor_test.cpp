#include "tools/doctor.h"

#include <cerrno>
#include <functional>
#include <sstream>

#include <gtest/gtest.h>

#include "tests/fakes/fake_doctor_machine.h"
#include "tools/ctl_commands.h"

namespace torvo {
namespace {

using Doctor::WakeOnLan;
using test::FakeDoctorMachine;

const std::vector<std::string> checkOrder = {"service", "app socket",   "logind",     "wake clock",
                                             "relay",   "console user", "wake-on-lan"};

struct Reported {
  std::string mark;
  std::string check;
  std::string text;  // reason and fix, as printed after "check: "
};

// What one run printed, read back line by line.
struct Report {
  int status = -1;
  std::string out;
  std::vector<Reported> lines;
  std::string result;

  std::vector<std::string> marks() const {
    std::vector<std::string> marks;
    for (const auto& line : lines) marks.push_back(line.mark);
    return marks;
  }
  Reported line(const std::string& check) const {
    for (const auto& line : lines) {
      if (line.check == check) return line;
    }
    ADD_FAILURE() << "no line for " << check << " in\n" << out;
    return {};
  }
};

Report doctor(FakeDoctorMachine& machine) {
  Report report;
  std::ostringstream out;
  report.status = Doctor::run(machine, out);
  report.out = out.str();
  std::istringstream lines(report.out);
  int failed = 0;
  int warned = 0;
  for (std::string text; std::getline(lines, text);) {
    if (text.starts_with("result: ")) {
      report.result = text;
      continue;
    }
    EXPECT_TRUE(report.result.empty()) << "a check line after the result:\n" << report.out;
    Reported line;
    std::istringstream words(text);
    words >> line.mark;
    std::getline(words >> std::ws, text);
    const auto colon = text.find(": ");
    EXPECT_NE(colon, std::string::npos) << text;
    line.check = text.substr(0, colon);
    line.text = text.substr(colon + 2);
    failed += line.mark == "FAIL";
    warned += line.mark == "WARN";
    report.lines.push_back(line);
  }
  // The result line agrees with the lines above it and with the exit status.
  EXPECT_EQ(report.status, failed > 0 ? Doctor::blocked : Doctor::usable) << report.out;
  EXPECT_EQ(report.result.find("nothing blocks use") != std::string::npos, failed == 0)
      << report.out;
  if (failed > 0) {
    EXPECT_NE(report.result.find(std::to_string(failed) + " check"), std::string::npos)
        << report.out;
  }
  EXPECT_EQ(report.result.find(" warning") != std::string::npos, warned > 0) << report.out;
  if (warned > 0) {
    EXPECT_NE(report.result.find(std::to_string(warned) + " warning"), std::string::npos)
        << report.out;
  }
  return report;
}

AgentClient::Result frameError(FrameError error) { return std::unexpected(AgentClient::Error(error)); }

AgentStatus statusOf(const FakeDoctorMachine& machine) {
  return std::get<AppResponses::Status>(machine.status->value).status;
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(DoctorTest, MachinePictures) {
  struct Case {
    std::string name;
    std::function<void(FakeDoctorMachine&)> change;
    std::vector<std::string> marks;  // per check, in checkOrder
    int status;
    std::string check;  // the line that must say `says`
    std::string says;
  };
  const Case cases[] = {
      {"all good", [](FakeDoctorMachine&) {},
       {"ok", "ok", "ok", "ok", "ok", "ok", "ok"}, Doctor::usable,
       "app socket", "/var/run/Torvo/agent.sock answers: torvo-agent 9.8.7"},
      {"agent down",
       [](FakeDoctorMachine& m) {
         m.serviceState.active = "failed";
         m.status = frameError(FrameError::connect(ENOENT));
       },
       {"FAIL", "FAIL", "ok", "ok", "SKIP", "ok", "ok"}, Doctor::blocked,
       "app socket", "no socket at /var/run/Torvo/agent.sock: the agent is not running"},
      {"user refused",
       [](FakeDoctorMachine& m) {
         m.me = {1001, "bob"};
         m.status = frameError(FrameError(FrameError::Kind::peerRejected));
       },
       {"ok", "FAIL", "ok", "ok", "SKIP", "ok", "ok"}, Doctor::blocked,
       "app socket", "bob (uid 1001) is not the console user alice (uid 1000)"},
      {"no systemd",
       [](FakeDoctorMachine& m) { m.serviceState = {.systemdRunning = false}; },
       {"WARN", "ok", "ok", "ok", "ok", "ok", "ok"}, Doctor::usable,
       "service", "systemd is not the service manager here"},
      {"no console user, run by root",
       [](FakeDoctorMachine& m) {
         m.console = std::nullopt;
         m.me = {0, "root"};
       },
       {"ok", "ok", "ok", "ok", "ok", "WARN", "ok"}, Doctor::usable,
       "console user", "no one at the screen: only root may use the agent"},
      {"no wake clock",
       [](FakeDoctorMachine& m) { m.clock = {false, "no real-time clock under /sys/class/rtc"}; },
       {"ok", "ok", "ok", "WARN", "ok", "ok", "ok"}, Doctor::usable,
       "wake clock",
       "no real-time clock under /sys/class/rtc: Wakes still work, scheduled wakes from sleep "
       "do not"},
      {"relay down",
       [](FakeDoctorMachine& m) {
         AgentStatus status = statusOf(m);
         status.relayReachable = false;
         m.status = AppResponse{AppResponses::Status{status}};
         m.relayAnswer = std::unexpected("cannot connect: Connection refused");
       },
       {"ok", "ok", "ok", "ok", "FAIL", "ok", "ok"}, Doctor::blocked,
       "relay", "https://relay.example did not answer (cannot connect: Connection refused)"},
      {"logind down",
       [](FakeDoctorMachine& m) { m.logindAnswer = std::unexpected("cannot open the system bus"); },
       {"ok", "ok", "FAIL", "ok", "ok", "ok", "ok"}, Doctor::blocked,
       "logind", "does not answer on the system bus (cannot open the system bus)"},
      {"socket down, relay down too: the relay is not asked",
       [](FakeDoctorMachine& m) {
         m.status = frameError(FrameError::connect(ECONNREFUSED));
         m.relayAnswer = std::unexpected("no answer");
       },
       {"ok", "FAIL", "ok", "ok", "SKIP", "ok", "ok"}, Doctor::blocked,
       "relay", "not checked"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeDoctorMachine machine;
    c.change(machine);
    const Report report = doctor(machine);
    EXPECT_EQ(report.status, c.status) << report.out;
    EXPECT_EQ(report.marks(), c.marks) << report.out;
    std::vector<std::string> checks;
    for (const auto& line : report.lines) checks.push_back(line.check);
    EXPECT_EQ(checks, checkOrder) << report.out;
    EXPECT_TRUE(contains(report.line(c.check).text, c.says)) << report.out;
    const bool relayChecked = report.line("relay").mark != "SKIP";
    EXPECT_EQ(machine.relaysAsked,
              relayChecked ? std::vector<std::string>{"https://relay.example"}
                           : std::vector<std::string>{});
  }
}

TEST(DoctorTest, ServiceStates) {
  using State = Doctor::ServiceState;
  const std::filesystem::path unit = "/etc/systemd/system/torvo-agent.service";
  struct Case {
    State state;
    std::string mark;
    std::string says;
    std::string fix;
  };
  const Case cases[] = {
      {{true, std::nullopt, "not-found", "inactive"}, "FAIL", "is not installed",
       "install the torvo-agent package"},
      {{true, unit, "enabled", "failed"}, "FAIL",
       "installed but not running (systemctl is-active: failed)",
       "sudo systemctl restart torvo-agent.service"},
      {{true, unit, "disabled", "inactive"}, "FAIL", "installed but not running",
       "sudo systemctl enable --now torvo-agent.service"},
      {{true, unit, std::nullopt, std::nullopt}, "FAIL", "(systemctl is-active: no answer)",
       "sudo systemctl enable --now torvo-agent.service"},
      {{true, unit, "disabled", "active"}, "WARN",
       "running but not enabled (systemctl is-enabled: disabled)",
       "sudo systemctl enable torvo-agent.service"},
      {{true, unit, "static", "active"}, "ok", "installed, enabled and running", ""},
      {{false, std::nullopt, std::nullopt, std::nullopt}, "WARN", "cannot run", ""},
  };
  for (const auto& c : cases) {
    FakeDoctorMachine machine;
    machine.serviceState = c.state;
    const Reported line = doctor(machine).line("service");
    SCOPED_TRACE(line.text);
    EXPECT_EQ(line.mark, c.mark);
    EXPECT_TRUE(contains(line.text, c.says));
    if (c.fix.empty()) {
      EXPECT_FALSE(contains(line.text, "-- fix:"));
    } else {
      EXPECT_TRUE(contains(line.text, " -- fix: " + c.fix));
    }
  }
}

TEST(DoctorTest, SocketFailuresSayWhatToDo) {
  using Doctor::User;
  struct Case {
    std::string name;
    AgentClient::Result answer;
    User me;
    std::optional<User> console;
    std::filesystem::path socket;
    std::string says;
    std::string fix;
    bool systemd = true;
    std::optional<User> owner = User{0, "root"};
  };
  const User alice{1000, "alice"};
  const User bob{1001, "bob"};
  const User root{0, "root"};
  const std::filesystem::path system = "/var/run/Torvo/agent.sock";
  const std::filesystem::path scratch = "/tmp/home/agent.sock";
  const auto rejected = frameError(FrameError(FrameError::Kind::peerRejected));
  const Case cases[] = {
      {"service socket missing", frameError(FrameError::connect(ENOENT)), alice, alice, system,
       "no socket at " + system.string(), "sudo systemctl start torvo-agent.service"},
      {"service socket missing without systemd", frameError(FrameError::connect(ENOENT)), alice,
       alice, system, "no socket at " + system.string(), "sudo torvo-agent --allowed-client",
       false},
      {"another socket missing", frameError(FrameError::connect(ENOENT)), alice, alice, scratch,
       "no socket at " + scratch.string(), "TORVO_AGENT_SOCKET"},
      {"stale socket", frameError(FrameError::connect(ECONNREFUSED)), alice, alice, system,
       "nothing listens on", "sudo systemctl start"},
      {"no permission", frameError(FrameError::connect(EACCES)), bob, alice, system,
       "refuses this user (no permission to connect)", "run torvo-ctl as alice"},
      {"another user at the screen", rejected, bob, alice, system,
       "bob (uid 1001) is not the console user alice (uid 1000)", "run torvo-ctl as alice"},
      {"nobody at the screen, not root", rejected, bob, std::nullopt, system,
       "with no one at the screen the agent accepts only root", "sudo torvo-ctl doctor"},
      {"a user without a name", rejected, User{1002, ""}, alice, system,
       "uid 1002 is not the console user alice", "run torvo-ctl as alice"},
      {"the console user, but not the installed program", rejected, alice, alice, system,
       "refuses this program", "the torvo-ctl installed with the agent"},
      {"root with nobody at the screen, but not the installed program", rejected, root,
       std::nullopt, system, "refuses this program", "the torvo-ctl installed with the agent"},
      {"a simulate-mode agent of another user", rejected, root, std::nullopt, scratch,
       "belongs to an agent in simulate mode run by nobody (uid 65534)",
       "run torvo-ctl as nobody", true, User{65534, "nobody"}},
      {"a simulate-mode agent of this user, another program", rejected, bob, alice, scratch,
       "refuses this program", "the torvo-ctl installed with the agent", true, bob},
      {"a socket that cannot be looked at", rejected, bob, alice, system,
       "bob (uid 1001) is not the console user alice", "run torvo-ctl as alice", true,
       std::nullopt},
      {"no answer in time", frameError(FrameError(FrameError::Kind::timeout)), alice, alice,
       system, "did not answer in time", "journalctl -u torvo-agent.service"},
      {"an answer that does not decode",
       std::unexpected(AgentClient::Error(JSONDecodingError{.key = "", .reason = "bad"})), alice,
       alice, system, "could not be read", "the torvo-ctl that came with the agent"},
      {"a refusal instead of a status", AppResponse{AppResponses::Refused{"no"}}, alice, alice,
       system, "answered the status request with \"refused\"",
       "the torvo-ctl that came with the agent"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeDoctorMachine machine;
    machine.status = c.answer;
    machine.me = c.me;
    machine.console = c.console;
    machine.socket = c.socket;
    machine.serviceState.systemdRunning = c.systemd;
    machine.owner = c.owner;
    const Report report = doctor(machine);
    const Reported line = report.line("app socket");
    EXPECT_EQ(line.mark, "FAIL") << report.out;
    const auto fix = line.text.find(" -- fix: ");
    ASSERT_NE(fix, std::string::npos) << report.out;
    EXPECT_TRUE(contains(line.text.substr(0, fix), c.says)) << report.out;
    EXPECT_TRUE(contains(line.text.substr(fix), c.fix)) << report.out;
    EXPECT_EQ(report.line("relay").mark, "SKIP");
    EXPECT_TRUE(machine.relaysAsked.empty());
  }
}

TEST(DoctorTest, RelayVerdictWeighsTheAgentsLastAttempt) {
  struct Case {
    bool answers;
    std::optional<bool> agentReached;
    std::string mark;
    std::string says;
  };
  const Case cases[] = {
      {true, true, "ok", "https://relay.example answers its health check"},
      {true, std::nullopt, "ok", "https://relay.example answers its health check"},
      {true, false, "ok", "the agent's last attempt failed"},
      {false, true, "WARN", "the agent reached its relay at its last check-in"},
      {false, false, "FAIL", "and the agent's last attempt failed too"},
      {false, std::nullopt, "FAIL", "and the agent has not reached it yet"},
  };
  for (const auto& c : cases) {
    FakeDoctorMachine machine;
    AgentStatus status = statusOf(machine);
    status.relayReachable = c.agentReached;
    machine.status = AppResponse{AppResponses::Status{status}};
    if (!c.answers) machine.relayAnswer = std::unexpected("HTTP status 502");
    const Reported line = doctor(machine).line("relay");
    SCOPED_TRACE(line.text);
    EXPECT_EQ(line.mark, c.mark);
    EXPECT_TRUE(contains(line.text, c.says));
    EXPECT_EQ(contains(line.text, "HTTP status 502"), !c.answers);
  }
}

TEST(DoctorTest, RelayAddressComesFromTheStatus) {
  EXPECT_EQ(Doctor::relayURL("ntfy.sh"), "https://ntfy.sh");
  EXPECT_EQ(Doctor::relayURL("[::1]"), "https://[::1]");
  EXPECT_EQ(Doctor::relayURL("http://relay.lan:8080"), "http://relay.lan:8080");

  FakeDoctorMachine machine;
  AgentStatus status = statusOf(machine);
  status.relayHost = "";
  machine.status = AppResponse{AppResponses::Status{status}};
  const Report report = doctor(machine);
  EXPECT_EQ(report.line("relay").mark, "FAIL");
  EXPECT_TRUE(contains(report.line("relay").text, "names no relay"));
  EXPECT_TRUE(machine.relaysAsked.empty());
}

TEST(DoctorTest, WakeOnLanLinePerWiredInterface) {
  FakeDoctorMachine machine;
  machine.interfaces = {{"eno1", WakeOnLan::on, ""},
                        {"enp2s0", WakeOnLan::off, ""},
                        {"enp3s0", WakeOnLan::notSupported, ""},
                        {"enp4s0", WakeOnLan::needsRoot, ""},
                        {"enp5s0", WakeOnLan::unreadable, "No such device"}};
  const Report report = doctor(machine);
  EXPECT_EQ(report.status, Doctor::usable);
  struct Expected {
    std::string mark;
    std::string text;
  };
  const std::vector<Expected> expected = {
      {"ok", "eno1: supported, on"},
      {"WARN", "enp2s0: supported, off -- fix: the setup's wake for network access turns it on"},
      {"WARN", "enp3s0: not supported"},
      {"WARN", "enp4s0: unknown: only root may read the setting -- fix: run sudo torvo-ctl doctor"},
      {"WARN", "enp5s0: unknown: No such device"},
  };
  std::vector<Reported> lines;
  for (const auto& line : report.lines) {
    if (line.check == "wake-on-lan") lines.push_back(line);
  }
  ASSERT_EQ(lines.size(), expected.size()) << report.out;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].mark, expected[i].mark) << lines[i].text;
    EXPECT_TRUE(lines[i].text.starts_with(expected[i].text)) << lines[i].text;
  }

  machine.interfaces = {};
  const Report none = doctor(machine);
  EXPECT_EQ(none.status, Doctor::usable);
  EXPECT_EQ(none.line("wake-on-lan").mark, "WARN");
  EXPECT_TRUE(contains(none.line("wake-on-lan").text, "no wired network interface"));
}

TEST(DoctorTest, CtlParsesTheCommand) {
  const auto plain = Ctl::parse({"doctor"}, "/default.sock");
  ASSERT_TRUE(plain) << plain.error();
  EXPECT_TRUE(plain->doctor);
  EXPECT_EQ(plain->socket, "/default.sock");
  const auto elsewhere = Ctl::parse({"--socket", "/x.sock", "doctor"}, "/default.sock");
  ASSERT_TRUE(elsewhere) << elsewhere.error();
  EXPECT_TRUE(elsewhere->doctor);
  EXPECT_EQ(elsewhere->socket, "/x.sock");
  EXPECT_FALSE(Ctl::parse({"doctor", "now"}, "/default.sock"));
  EXPECT_FALSE(Ctl::parse({"status"}, "/default.sock")->doctor);
}

}  // namespace
}  // namespace torvo
