// tools/ (torvo_ctl_tool, torvo_phone_tool, torvo_cli_text): the logic of the command-line
// tools, the desktop app's side (this file) and the phone's side (phone_commands.h).
//
// torvo-ctl's logic: the desktop app's side of the local socket as commands. `parse` turns
// the arguments into one request, `execute` sends it and prints the answer, `describeStatus`
// and `qrCode` render for a terminal. Exit statuses: 0 done, 1 the agent refused, 2 usage
// error, 3 the agent could not be reached. Pure apart from the sender; any thread.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "app_socket/agent_client.h"
#include "app_socket/ipc.h"

namespace torvo::Ctl {

enum Exit { done = 0, refused = 1, usage = 2, unreachable = 3 };

struct Invocation {
  std::filesystem::path socket;
  AppRequest request;
  bool json = false;  // status: print the raw status JSON
  bool help = false;
  bool doctor = false;  // run the checks of tools/doctor.h instead of sending `request`
  std::string webPage;  // pair --web: the web phone's address; its QR code opens the page paired
};

using Sender = std::function<AgentClient::Result(const AppRequest&)>;

// `defaultSocket` is used unless --socket PATH is given. The error is a usage message.
// "doctor" sets `doctor`; the caller runs Doctor::run, whose exit status is 0 or 1.
std::expected<Invocation, std::string> parse(const std::vector<std::string>& args,
                                             const std::filesystem::path& defaultSocket);

// Sends the request and prints the answer; returns the exit status.
int execute(const Invocation& invocation, const Sender& send, std::ostream& out,
            std::ostream& err, std::int64_t now);

std::string helpText();

// The status as lines of readable text; times in the local time zone.
std::string describeStatus(const AgentStatus& status, std::int64_t now);

// `text` as a QR code of Unicode half blocks, two modules per character cell, dark on light
// with a quiet zone; empty when the text cannot be encoded.
std::string qrCode(const std::string& text);

// The web phone's address that pairs it: `page` + "#" + the percent-encoded pairing link. The
// link travels in the fragment, which the browser never sends to a server.
std::string webPairingLink(const std::string& page, const std::string& link);

}  // namespace torvo::Ctl
