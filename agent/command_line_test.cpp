#include "agent/command_line.h"

#include <gtest/gtest.h>

#include "kit/pairing.h"
#include "setup/daemon_install.h"

namespace torvo {
namespace {

using Strings = std::vector<std::string>;

TEST(CommandLine, Refusals) {
  struct Case {
    Strings args;
    std::string message;
  };
  const Case cases[] = {
      {{"--bogus"}, "unknown argument --bogus"},
      {{"--SIMULATE"}, "unknown argument --SIMULATE"},
      {{"--bogus", "--version"}, "unknown argument --bogus"},
      {{"--simulate", "--home"}, "missing value for --home"},
      {{"--relay"}, "missing value for --relay"},
      {{"--poll-seconds"}, "missing value for --poll-seconds"},
      {{"--allowed-client"}, "missing value for --allowed-client"},
      {{"--sim-client"}, "missing value for --sim-client"},
      {{"--sim-power-file"}, "missing value for --sim-power-file"},
      {{"--install-script"}, "missing value for --install-script"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parseCommandLine(c.args), ParsedCommandLine(Refusal{c.message})) << c.args[0];
  }
}

TEST(CommandLine, PrintingOptionsActAtOnce) {
  EXPECT_EQ(parseCommandLine({"--version", "--bogus"}), ParsedCommandLine(PrintAndExit{"0.1.0\n"}));
  EXPECT_EQ(parseCommandLine({"--home", "--version"}),
            ParsedCommandLine(Args{.home = "--version"}));
  EXPECT_EQ(parseCommandLine({"--simulate", "--help", "--bogus"}),
            ParsedCommandLine(PrintAndExit{commandLineHelp()}));
  EXPECT_EQ(parseCommandLine({"-h"}), ParsedCommandLine(PrintAndExit{commandLineHelp()}));
  EXPECT_EQ(parseCommandLine({"--bogus", "--help"}), ParsedCommandLine(Refusal{"unknown argument --bogus"}));
  EXPECT_EQ(parseCommandLine({"--uninstall-script", "--bogus"}),
            ParsedCommandLine(PrintAndExit{DaemonInstall::uninstallScript() + "\n"}));
  EXPECT_EQ(parseCommandLine({"--simulate", "--install-script", "/Applications/Torvo.app"}),
            ParsedCommandLine(PrintAndExit{
                DaemonInstall::installScript("/Applications/Torvo.app",
                                             "/Applications/Torvo.app/Contents/MacOS/torvo-agent") +
                "\n"}));
}

TEST(CommandLine, ValuesAreTakenWhateverTheyLookLikeAndLaterOnesWin) {
  const auto parsed = parseCommandLine({"--simulate", "--home", "/a", "--home", "--relay",
                                        "--relay", "x", "--sim-client", "/c.app",
                                        "--sim-power-file", "p", "--allowed-client", "A.app"});
  EXPECT_EQ(parsed, ParsedCommandLine(Args{.simulate = true,
                                           .home = "--relay",
                                           .relay = "x",
                                           .allowedClient = "A.app",
                                           .simClient = "/c.app",
                                           .simPowerFile = "p"}));
}

TEST(CommandLine, PollSecondsReadsSignedDecimalsElseThirty) {
  struct Case {
    std::string value;
    std::int64_t expected;
  };
  const Case cases[] = {
      {"7", 7},
      {"+7", 7},
      {"-5", -5},
      {"0", 0},
      {"", 30},
      {"abc", 30},
      {"5s", 30},
      {" 5", 30},
      {"+", 30},
      {"9223372036854775807", INT64_MAX},
      {"-9223372036854775808", INT64_MIN},
      {"9223372036854775808", 30},
      {"-9223372036854775809", 30},
  };
  for (const auto& c : cases) {
    const auto parsed = parseCommandLine({"--poll-seconds", c.value});
    ASSERT_TRUE(std::holds_alternative<Args>(parsed)) << c.value;
    EXPECT_EQ(std::get<Args>(parsed).pollSeconds, c.expected) << c.value;
  }
}

TEST(CommandLine, OptionsPerMode) {
  const Calendar utc{"UTC"};
  struct Case {
    bool simulate;
    std::int64_t poll;
    std::int64_t expected;
  };
  // Longer than a day is cut to a day: the timer would overflow on the largest values.
  const Case cases[] = {{true, 0, 2},          {true, -5, 2},
                        {true, 7, 7},          {false, 7, 30},
                        {true, 30, 30},        {true, 86400, 86400},
                        {true, 86401, 86400},  {true, INT64_MAX, 86400},
                        {true, INT64_MIN, 2},  {false, INT64_MAX, 30}};
  for (const auto& c : cases) {
    const AgentOptions options =
        makeOptions(Args{.simulate = c.simulate, .pollSeconds = c.poll}, utc);
    EXPECT_EQ(options.pollSeconds, c.expected) << c.poll;
    EXPECT_EQ(options.pairingPollSeconds, 2);
    EXPECT_EQ(options.simulate, c.simulate);
    EXPECT_EQ(options.calendar, utc);
  }
}

TEST(CommandLine, RelayOverrideNeedsAnHTTPOrHTTPSURL) {
  struct Case {
    std::string relay;
    std::string expected;
  };
  const std::string fallback(Pairing::defaultRelay);
  const Case cases[] = {
      {"http://192.168.1.20:8080", "http://192.168.1.20:8080"},
      {"https://relay.example/base/path", "https://relay.example/base/path"},
      {"http://127.0.0.1:1", "http://127.0.0.1:1"},
      {"ftp://relay.example", fallback},
      {"HTTPS://relay.example", fallback},
      {"not a url", fallback},
      {"relay.example", fallback},
      {"https://", fallback},
      {"https://exa mple", fallback},
      {"", fallback},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(makeOptions(Args{.relay = c.relay}, Calendar{"UTC"}).initialRelay, c.expected)
        << c.relay;
  }
}

}  // namespace
}  // namespace torvo
