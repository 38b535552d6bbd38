#include "tools/phone_commands.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <sstream>
#include <stop_token>
#include <thread>

#include "base/display_text.h"
#include "kit/crypto.h"
#include "tools/cli_text.h"
#include "tools/phone_store.h"

namespace torvo::Phone {

namespace {

using CliText::localTime;

std::int64_t nowSeconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

std::string pairingErrorText(const PairingError& error) {
  switch (error.kind) {
    case PairingError::Kind::unsupportedVersion:
      return "the link has version " + error.text + ", which this tool does not read";
    case PairingError::Kind::missing: return "the link has no \"" + error.text + "\"";
    case PairingError::Kind::invalid: return "the link's \"" + error.text + "\" is not valid";
    case PairingError::Kind::notPairingURL: break;
  }
  return "not a pairing link (torvo://pair?...)";
}

// Calls `onExpiry` once `seconds` have passed, unless destroyed first.
class Deadline {
 public:
  Deadline(std::int64_t seconds, std::function<void()> onExpiry)
      : thread_([this, seconds, onExpiry = std::move(onExpiry)](std::stop_token stop) {
          std::mutex mutex;
          std::unique_lock lock(mutex);
          std::condition_variable_any wakeUp;
          wakeUp.wait_for(lock, stop, std::chrono::seconds(seconds), [] { return false; });
          if (stop.stop_requested()) return;
          expired_ = true;
          onExpiry();
        }) {}

  bool expired() const { return expired_; }

 private:
  std::atomic<bool> expired_{false};
  std::jthread thread_;  // last: stopped and joined before the flag goes away
};

void print(const Received& received, bool json, bool withTime, std::ostream& out) {
  if (json) {
    out << received.message.jsonText() << "\n";
  } else {
    if (withTime) out << "[" << localTime(received.ntfyTime, true) << "] ";
    out << describe(received.message) << "\n";
  }
  out.flush();
}

// Follows the topic after the sent record's event until the acknowledgement of `id` and the
// state report after it have arrived, or the time-out.
int awaitAnswer(const PhoneChannel& channel, const std::optional<std::string>& eventID,
                const std::string& id, const Invocation& invocation, std::ostream& out,
                std::ostream& err) {
  const auto since = eventID ? NtfySince::id(*eventID) : NtfySince::unix(nowSeconds() - 1);
  const auto stream = channel.stream(since);
  const Deadline deadline(invocation.timeout, [&stream] { stream->cancel(); });
  std::optional<Ack> ack;
  const std::string mac = DisplayText::clean(channel.pairing().macName, 64, "Mac");
  try {
    while (auto received = stream->next()) {
      if (const auto* answer = std::get_if<Ack>(&received->message.payload)) {
        if (answer->forID != id || ack) continue;
        ack = *answer;
        print(*received, invocation.json, false, out);
        if (!ack->ok) return refused;
      } else if (ack && std::holds_alternative<MacState>(received->message.payload)) {
        print(*received, invocation.json, false, out);
        return done;
      }
    }
  } catch (const std::exception& error) {
    if (!deadline.expired()) {
      err << "torvo-phone: the relay failed: " << error.what() << "\n";
      return noAnswer;
    }
  }
  if (ack) {
    err << "torvo-phone: no state report from " << mac << " within " << invocation.timeout
        << " s\n";
    return done;
  }
  err << "torvo-phone: no answer from " << mac << " within " << invocation.timeout
      << " s (is the agent running and checking in?)\n";
  return noAnswer;
}

int send(const PhoneChannel& channel, const Invocation& invocation, std::ostream& out,
         std::ostream& err) {
  const Message message = commandFor(invocation, nowSeconds());
  std::optional<std::string> eventID;
  try {
    eventID = channel.send(message);
  } catch (const NtfyError& error) {
    err << "torvo-phone: the relay refused the message (HTTP " << error.status << ")\n";
    return noAnswer;
  } catch (const std::exception& error) {
    err << "torvo-phone: cannot reach the relay " << channel.pairing().relay << ": "
        << error.what() << "\n";
    return noAnswer;
  }
  return awaitAnswer(channel, eventID, message.id(), invocation, out, err);
}

int watch(const PhoneChannel& channel, const Invocation& invocation, std::ostream& out,
          std::ostream& err) {
  // From the second the watch starts, so nothing published while the stream connects is missed.
  const auto stream = channel.stream(NtfySince::unix(nowSeconds()));
  std::int64_t seen = 0;
  try {
    while (auto received = stream->next()) {
      print(*received, invocation.json, true, out);
      if (invocation.count && ++seen >= *invocation.count) return done;
    }
  } catch (const std::exception& error) {
    err << "torvo-phone: the relay failed: " << error.what() << "\n";
    return noAnswer;
  }
  err << "torvo-phone: the relay closed the stream\n";
  return noAnswer;
}

int pair(const Invocation& invocation, std::ostream& out, std::ostream& err) {
  auto pairing = Pairing::fromString(invocation.link);
  if (!pairing) {
    err << "torvo-phone: " << pairingErrorText(pairing.error()) << "\n";
    return usage;
  }
  const PhoneStore store(invocation.stateFolder);
  try {
    store.save(*pairing);
  } catch (const std::exception& error) {
    err << "torvo-phone: cannot store the pairing: " << error.what() << "\n";
    return usage;
  }
  out << "paired with " << DisplayText::clean(pairing->macName, 64, "Mac") << " (key id "
      << pairing->keyID << ", relay " << pairing->relay << "); saved in "
      << store.linkPath().string() << "\n";
  out << "asking for its state to confirm the pairing...\n";
  out.flush();
  Invocation status = invocation;
  status.verb = Verb::status;
  return send(PhoneChannel(*pairing, std::make_shared<HttpSession>()), status, out, err);
}

std::optional<std::int64_t> positive(const std::string& text) {
  const auto value = CliText::number(text);
  if (!value || *value < 1) return std::nullopt;
  return value;
}

}  // namespace

std::string helpText() {
  return "usage: torvo-phone [OPTIONS] COMMAND\n"
         "commands:\n"
         "  pair LINK         store the pairing link shown by 'torvo-ctl pair' and confirm it\n"
         "  wake [HOURS]      keep the computer awake for HOURS (1 to 24; default its own)\n"
         "  status            ask for the computer's state\n"
         "  end               end the running Wake\n"
         "  interval MINUTES  set the check-in interval (15, 30 or 60)\n"
         "  watch             print every acknowledgement and state report as it arrives\n"
         "options:\n"
         "  --state DIR       folder of the stored pairing\n"
         "  --name NAME       this phone's name in sent records (default: the host name)\n"
         "  --timeout SECONDS how long to wait for the answer (default 60)\n"
         "  --json            print received records as JSON lines\n"
         "  --count N         watch: stop after N records\n";
}

std::expected<Invocation, std::string> parse(const std::vector<std::string>& args,
                                             const Invocation& defaults) {
  Invocation invocation = defaults;
  std::vector<std::string> words;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= args.size()) return std::nullopt;
      return args[++i];
    };
    if (arg == "--help" || arg == "-h") {
      invocation.help = true;
      return invocation;
    } else if (arg == "--json") {
      invocation.json = true;
    } else if (arg == "--state" || arg == "--name" || arg == "--timeout" || arg == "--count") {
      const auto text = value();
      if (!text || text->empty()) return std::unexpected(arg + " needs a value");
      if (arg == "--state") {
        invocation.stateFolder = *text;
      } else if (arg == "--name") {
        invocation.name = *text;
      } else {
        const auto number = positive(*text);
        if (!number) return std::unexpected(arg + " needs a whole number above 0");
        (arg == "--timeout" ? invocation.timeout : invocation.count.emplace()) = *number;
      }
    } else if (arg.starts_with("--")) {
      return std::unexpected("unknown option " + arg);
    } else {
      words.push_back(arg);
    }
  }
  if (words.empty()) return std::unexpected("no command given");
  const std::string& command = words[0];
  const std::size_t operands = words.size() - 1;
  if (command == "pair") {
    if (operands != 1) return std::unexpected("pair needs the link");
    invocation.verb = Verb::pair;
    invocation.link = words[1];
  } else if (command == "wake") {
    if (operands > 1) return std::unexpected("wake takes at most one number of hours");
    invocation.verb = Verb::wake;
    if (operands == 1) {
      const auto hours = positive(words[1]);
      if (!hours || *hours > 24) return std::unexpected("HOURS must be a whole number from 1 to 24");
      invocation.hours = hours;
    }
  } else if (command == "interval") {
    const auto minutes = operands == 1 ? CliText::number(words[1]) : std::nullopt;
    if (!minutes || std::ranges::find(AgentConfig::checkInChoices, *minutes) ==
                        AgentConfig::checkInChoices.end()) {
      return std::unexpected("interval needs MINUTES: 15, 30 or 60");
    }
    invocation.verb = Verb::interval;
    invocation.minutes = *minutes;
  } else if (command == "status" || command == "end" || command == "watch") {
    if (operands != 0) return std::unexpected(command + " takes no operands");
    invocation.verb = command == "status" ? Verb::status
                      : command == "end"  ? Verb::end
                                          : Verb::watch;
  } else {
    return std::unexpected("unknown command " + command);
  }
  if (invocation.stateFolder.empty()) {
    return std::unexpected("no state folder: give --state DIR (neither HOME nor XDG_STATE_HOME is set)");
  }
  return invocation;
}

Message commandFor(const Invocation& invocation, std::int64_t now) {
  const std::string from = DisplayText::clean(invocation.name, 64, "phone");
  if (invocation.verb == Verb::interval) {
    return ConfigChange{invocation.minutes, Crypto::randomUUID(), now, from};
  }
  Command command;
  command.kind = invocation.verb == Verb::wake  ? CommandKind::wake
                 : invocation.verb == Verb::end ? CommandKind::end
                                                : CommandKind::status;
  if (command.kind == CommandKind::wake) command.hours = invocation.hours;
  command.id = Crypto::randomUUID();
  command.ts = now;
  command.from = from;
  return command;
}

std::string describe(const Message& message) {
  std::ostringstream out;
  if (const auto* ack = std::get_if<Ack>(&message.payload)) {
    out << "ack: " << (ack->ok ? "ok" : "refused");
    if (ack->note) out << ": " << DisplayText::clean(*ack->note, 200, "");
  } else if (const auto* report = std::get_if<MacState>(&message.payload)) {
    out << "state: " << toText(report->state);
    if (report->awakeUntil) out << " until " << localTime(*report->awakeUntil);
    out << "; battery " << (report->battery ? std::to_string(*report->battery) + "%" : "none");
    if (report->charging) out << ", charging";
    if (report->onCharger) out << ", on charger";
    out << "; last check-in " << localTime(report->lastCheckIn) << ", next check-in "
        << (report->nextCheckIn ? localTime(*report->nextCheckIn) : "none") << "; every "
        << report->config.checkInMinutes() << " minutes; "
        << DisplayText::clean(report->mac, 64, "Mac");
  } else {
    out << message.typeName() << " from " << message.id();
  }
  return out.str();
}

int execute(const Invocation& invocation, std::ostream& out, std::ostream& err) {
  if (invocation.help) {
    out << helpText();
    return done;
  }
  if (invocation.verb == Verb::pair) return pair(invocation, out, err);
  const auto pairing = PhoneStore(invocation.stateFolder).load();
  if (!pairing) {
    err << "torvo-phone: " << pairing.error() << "\n";
    return usage;
  }
  const PhoneChannel channel(*pairing, std::make_shared<HttpSession>());
  if (invocation.verb == Verb::watch) return watch(channel, invocation, out, err);
  return send(channel, invocation, out, err);
}

}  // namespace torvo::Phone
