// tools/ (torvo_phone_tool): the phone's side of the command-line tools; see ctl_commands.h.
//
// torvo-phone's logic: the phone's side of the protocol as commands. `parse` reads the
// arguments, `execute` pairs from a link or sends one record through the PhoneChannel and
// waits (up to the time-out) for the computer's acknowledgement and the state report that
// follows it, or follows the topic (`watch`). `describe` renders a received record for a
// terminal with times in the local time zone. Exit statuses: 0 done, 1 the computer refused,
// 2 usage error or not paired, 3 no answer in time or the relay could not be reached.
// Blocking on the calling thread; `execute` starts one helper thread for the time-out.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "model/channels.h"

namespace torvo::Phone {

enum Exit { done = 0, refused = 1, usage = 2, noAnswer = 3 };

enum class Verb { pair, wake, status, end, interval, watch };

struct Invocation {
  Verb verb = Verb::status;
  std::filesystem::path stateFolder;
  std::string name;                   // "from" of every sent record
  std::int64_t timeout = 60;          // seconds to wait for the answer
  bool json = false;                  // print received records as JSON lines
  std::string link;                   // pair
  std::optional<std::int64_t> hours;  // wake
  std::int64_t minutes = 0;           // interval
  std::optional<std::int64_t> count;  // watch: stop after this many records
  bool help = false;
};

// `defaults` supplies the state folder and the name unless --state or --name are given.
// The error is a usage message.
std::expected<Invocation, std::string> parse(const std::vector<std::string>& args,
                                             const Invocation& defaults);

std::string helpText();

// Runs the invocation; returns the exit status.
int execute(const Invocation& invocation, std::ostream& out, std::ostream& err);

// The record built for a verb that sends one: wake, status, end or interval (pair sends status).
Message commandFor(const Invocation& invocation, std::int64_t now);

// One line for an acknowledgement or a state report, without a line feed.
std::string describe(const Message& message);

}  // namespace torvo::Phone
