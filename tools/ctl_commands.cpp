#include "tools/ctl_commands.h"

#include <qrencode.h>

#include <memory>
#include <optional>
#include <sstream>

#include "kit/unicode_text.h"
#include "kit/url.h"
#include "setup/login_apps.h"
#include "setup/report_text.h"
#include "tools/cli_text.h"

namespace torvo::Ctl {

namespace {

using CliText::localTime;
using CliText::number;

std::string optionalTime(const std::optional<std::int64_t>& t) {
  return t ? localTime(*t) : "never";
}

std::string yesNo(bool value) { return value ? "yes" : "no"; }

// An http or https address with a host and without a fragment (the fragment carries the link).
bool isWebPage(const std::string& text) {
  const auto url = Url::parse(text);
  return url && url->isWeb() && !url->fragment;
}

// The known app a login item belongs to: by its bundle identifier, else by its name in any case.
std::optional<KnownApp> knownAppOf(const LoginItem& item) {
  if (auto app = LoginApps::knownApp(item.bundleID)) return app;
  for (const auto& app : LoginApps::known()) {
    if (ReportText::lowered(app.name) == ReportText::lowered(item.name)) return app;
  }
  return std::nullopt;
}

// "name  path", with "  [known: <app>, <group title>]" for a known app.
std::string describeLoginItem(const LoginItem& item) {
  std::string line = item.name;
  if (item.path) line += "  " + *item.path;
  if (const auto app = knownAppOf(item)) {
    line += "  [known: " + std::string(app->name) + ", " + std::string(title(app->group)) + "]";
  }
  return line;
}

}  // namespace

std::string helpText() {
  return "usage: torvo-ctl [--socket PATH] COMMAND\n"
         "commands:\n"
         "  status [--json]            show the agent's status\n"
         "  pair [--web URL]           start pairing a phone (link and QR code); with --web, the\n"
         "                             QR code opens the web phone at URL (for example\n"
         "                             http://RELAY/phone/) already paired\n"
         "  cancel-pairing KID         cancel a pending pairing\n"
         "  remove KID                 remove a paired phone\n"
         "  reset-pairing              remove every phone\n"
         "  wake HOURS                 keep this computer awake for HOURS\n"
         "  end                        end the Wake\n"
         "  interval MINUTES           set the check-in interval (15, 30 or 60)\n"
         "  check-in                   check in with the relay now\n"
         "  setup-apply [--wake-for-network] [--restart-after-power-cut] [--pause-updates]\n"
         "  setup-undo                 undo the system setup\n"
         "  note-screen-lock off|immediate|SECONDS\n"
         "                             record the screen-lock delay before the app changed it\n"
         "  login-items                list the console user's login items (XDG autostart\n"
         "                             entries and systemd user units), marking known apps\n"
         "  doctor                     check what the agent needs on this machine and say what\n"
         "                             to fix (exit status 1 when something blocks use)\n"
         "The socket is $TORVO_AGENT_SOCKET unless --socket is given.\n";
}

std::expected<Invocation, std::string> parse(const std::vector<std::string>& args,
                                             const std::filesystem::path& defaultSocket) {
  Invocation invocation{.socket = defaultSocket};
  std::vector<std::string> words;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--socket") {
      if (i + 1 >= args.size()) return std::unexpected("--socket needs a path");
      invocation.socket = args[++i];
    } else if (args[i] == "--help" || args[i] == "-h" || args[i] == "help") {
      invocation.help = true;
      return invocation;
    } else {
      words.push_back(args[i]);
    }
  }
  if (words.empty()) return std::unexpected("no command given");
  const std::string command = words[0];
  const std::vector<std::string> rest(words.begin() + 1, words.end());
  auto none = [&](AppRequest::Value value) -> std::expected<Invocation, std::string> {
    if (!rest.empty()) return std::unexpected(command + " takes no arguments");
    invocation.request.value = std::move(value);
    return invocation;
  };
  auto oneNumber = [&]() -> std::optional<std::int64_t> {
    return rest.size() == 1 ? number(rest[0]) : std::nullopt;
  };
  if (command == "status") {
    if (rest.size() == 1 && rest[0] == "--json") {
      invocation.json = true;
      invocation.request.value = AppRequests::GetStatus{};
      return invocation;
    }
    return none(AppRequests::GetStatus{});
  }
  if (command == "pair") {
    if (rest.size() == 2 && rest[0] == "--web") {
      if (!isWebPage(rest[1])) return std::unexpected("pair --web needs an http or https URL without a #fragment");
      invocation.webPage = rest[1];
      invocation.request.value = AppRequests::AddDevice{};
      return invocation;
    }
    if (!rest.empty()) return std::unexpected("pair takes only --web URL");
    return none(AppRequests::AddDevice{});
  }
  if (command == "reset-pairing") return none(AppRequests::ResetPairing{});
  if (command == "end") return none(AppRequests::EndWake{});
  if (command == "check-in") return none(AppRequests::CheckInNow{});
  if (command == "setup-undo") return none(AppRequests::UndoSetup{});
  if (command == "login-items") return none(AppRequests::GetLoginItems{});
  if (command == "doctor") {
    if (!rest.empty()) return std::unexpected("doctor takes no arguments");
    invocation.doctor = true;
    return invocation;
  }
  if (command == "cancel-pairing" || command == "remove") {
    if (rest.size() != 1) return std::unexpected(command + " needs a KID");
    // A request is JSON text: a KID that is not valid UTF-8 cannot be sent (and is no KID).
    if (!UnicodeText::isValidUTF8(rest[0])) return std::unexpected(command + ": the KID is not valid text");
    if (command == "remove") {
      invocation.request.value = AppRequests::RemoveDevice{rest[0]};
    } else {
      invocation.request.value = AppRequests::CancelPairing{rest[0]};
    }
    return invocation;
  }
  if (command == "wake") {
    const auto hours = oneNumber();
    if (!hours) return std::unexpected("wake needs a whole number of HOURS");
    invocation.request.value = AppRequests::WakeNow{*hours};
    return invocation;
  }
  if (command == "interval") {
    const auto minutes = oneNumber();
    if (!minutes) return std::unexpected("interval needs a whole number of MINUTES");
    invocation.request.value = AppRequests::SetCheckIn{*minutes};
    return invocation;
  }
  if (command == "setup-apply") {
    SetupChoices choices;
    for (const auto& option : rest) {
      if (option == "--wake-for-network") {
        choices.wakeForNetwork = true;
      } else if (option == "--restart-after-power-cut") {
        choices.restartAfterPowerCut = true;
      } else if (option == "--pause-updates") {
        choices.pauseUpdates = true;
      } else {
        return std::unexpected("unknown setup-apply option " + option);
      }
    }
    invocation.request.value = AppRequests::ApplySetup{choices};
    return invocation;
  }
  if (command == "note-screen-lock") {
    if (rest.size() != 1) return std::unexpected("note-screen-lock needs off, immediate or SECONDS");
    ScreenLockSetting setting;
    if (rest[0] == "off") {
      setting = ScreenLockSetting::off();
    } else if (rest[0] == "immediate") {
      setting = ScreenLockSetting::immediate();
    } else if (const auto seconds = number(rest[0]); seconds && *seconds >= 0) {
      setting = ScreenLockSetting::seconds(*seconds);
    } else {
      return std::unexpected("note-screen-lock needs off, immediate or SECONDS");
    }
    invocation.request.value = AppRequests::NoteUserChange{UserChange{setting}};
    return invocation;
  }
  return std::unexpected("unknown command " + command);
}

std::string describeStatus(const AgentStatus& status, std::int64_t now) {
  std::ostringstream out;
  out << "version: " << status.version << (status.simulate ? " (simulate)" : "") << "\n";
  out << "mac: " << status.macName << "\n";
  if (status.isAwake(now)) {
    out << "awake until " << localTime(*status.awakeUntil);
    if (status.wokenBy) out << " (woken by " << status.wokenBy->name << ")";
    out << "\n";
  } else {
    out << "asleep (no Wake running)\n";
  }
  out << "battery: " << (status.battery ? std::to_string(*status.battery) + "%" : "none")
      << ", charging: " << yesNo(status.charging) << ", on charger: " << yesNo(status.onCharger)
      << "\n";
  out << "last check-in: " << optionalTime(status.lastCheckIn) << "\n";
  out << "next check-in: " << (status.nextCheckIn ? localTime(*status.nextCheckIn) : "none")
      << "\n";
  out << "check-in interval: " << status.config.checkInMinutes() << " minutes\n";
  out << "relay: " << status.relayHost << ", reachable: "
      << (status.relayReachable ? yesNo(*status.relayReachable) : "not tried yet")
      << (status.clockLooksWrong ? " (clock looks wrong)" : "") << "\n";
  out << "drops: invalid " << status.drops.invalid << ", replay " << status.drops.replay
      << ", clock " << status.drops.clock << ", role " << status.drops.role << "\n";
  out << "devices: " << status.devices.size() << "\n";
  for (const auto& device : status.devices) {
    out << "  " << device.kid << "  " << device.name << "  paired " << localTime(device.pairedAt)
        << (device.lastSeen ? ", last seen " + localTime(*device.lastSeen) : ", pending")
        << "\n";
  }
  return out.str();
}

std::string qrCode(const std::string& text) {
  const std::unique_ptr<QRcode, decltype(&QRcode_free)> code(
      QRcode_encodeString(text.c_str(), 0, QR_ECLEVEL_L, QR_MODE_8, 1), &QRcode_free);
  if (code == nullptr) return "";
  const int quiet = 2;
  const int size = code->width + 2 * quiet;
  auto dark = [&](int row, int column) {
    row -= quiet;
    column -= quiet;
    if (row < 0 || column < 0 || row >= code->width || column >= code->width) return false;
    return (code->data[row * code->width + column] & 1) != 0;
  };
  // Light modules are drawn, dark ones left blank, so the code reads on a dark terminal.
  std::string out;
  for (int row = 0; row < size; row += 2) {
    for (int column = 0; column < size; ++column) {
      const bool top = !dark(row, column);
      const bool bottom = row + 1 < size && !dark(row + 1, column);
      out += top && bottom ? "\u2588" : top ? "\u2580" : bottom ? "\u2584" : " ";
    }
    out += "\n";
  }
  return out;
}

std::string webPairingLink(const std::string& page, const std::string& link) {
  return page + "#" + PercentEncoding::encode(link);
}

int execute(const Invocation& invocation, const Sender& send, std::ostream& out,
            std::ostream& err, std::int64_t now) {
  if (invocation.help) {
    out << helpText();
    return done;
  }
  const auto result = send(invocation.request);
  if (!result) {
    err << "torvo-ctl: couldn't reach the agent at " << invocation.socket.string() << ": "
        << AgentClient::describe(result.error());
    if (const auto* frame = std::get_if<FrameError>(&result.error());
        frame && frame->kind() == FrameError::Kind::peerRejected) {
      err << " (the agent refused this connection)";
    }
    err << "\n";
    return unreachable;
  }
  return std::visit(
      [&](const auto& response) -> int {
        using T = std::decay_t<decltype(response)>;
        if constexpr (std::is_same_v<T, AppResponses::Refused>) {
          err << "torvo-ctl: the agent refused: " << response.text << "\n";
          return refused;
        } else if constexpr (std::is_same_v<T, AppResponses::Status>) {
          if (invocation.json) {
            out << response.status.toJSON().dump() << "\n";
          } else {
            out << describeStatus(response.status, now);
          }
        } else if constexpr (std::is_same_v<T, AppResponses::Pairing>) {
          out << "link: " << response.url << "\n";
          std::string shown = response.url;
          if (!invocation.webPage.empty()) {
            shown = webPairingLink(invocation.webPage, response.url);
            out << "web: " << shown << "\n";
          }
          out << "kid: " << response.kid << "\n"
              << "expires: " << localTime(response.expiresAt) << "\n"
              << qrCode(shown);
        } else if constexpr (std::is_same_v<T, AppResponses::Undone>) {
          for (const auto& item : response.result.restored) out << "restored: " << item << "\n";
          for (const auto& item : response.result.failed) out << "failed: " << item << "\n";
          if (response.result.restored.empty() && response.result.failed.empty()) {
            out << "nothing to undo\n";
          }
        } else if constexpr (std::is_same_v<T, AppResponses::LoginItems>) {
          if (!response.items) {
            out << "no list available\n";
          } else {
            for (const auto& item : *response.items) out << describeLoginItem(item) << "\n";
          }
        } else {
          out << "ok\n";
        }
        return done;
      },
      result->value);
}

}  // namespace torvo::Ctl
