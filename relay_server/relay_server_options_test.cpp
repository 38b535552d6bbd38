#include "relay_server/relay_server_options.h"

#include <gtest/gtest.h>

namespace torvo {
namespace {

TEST(RelayServerOptions, ReadsListenAndKeepalive) {
  struct Case {
    std::vector<std::string> args;
    bool valid;
    std::string host;
    int port;
    std::int64_t keepalive;
  };
  const std::vector<Case> cases = {
      {{}, true, "127.0.0.1", 0, 45},
      {{"--listen", "0.0.0.0:8080"}, true, "0.0.0.0", 8080, 45},
      {{"--keepalive", "5", "--listen", "[::1]:0"}, true, "::1", 0, 5},
      {{"--listen", "localhost:65535"}, true, "localhost", 65535, 45},
      {{"--listen", "8080"}, false, "", 0, 0},
      {{"--listen", ":8080"}, false, "", 0, 0},
      {{"--listen", "host:65536"}, false, "", 0, 0},
      {{"--listen", "host:80x"}, false, "", 0, 0},
      {{"--keepalive", "0"}, false, "", 0, 0},
      {{"--keepalive", "-1"}, false, "", 0, 0},
      {{"--keepalive"}, false, "", 0, 0},
      {{"--verbose", "1"}, false, "", 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const auto options = RelayServerOptions::parse(c.args);
    ASSERT_EQ(options.has_value(), c.valid);
    if (!options) continue;
    EXPECT_EQ(options->host, c.host);
    EXPECT_EQ(options->port, c.port);
    EXPECT_EQ(options->keepalive, c.keepalive);
  }
  EXPECT_EQ(RelayServerOptions::hostForURL("::1"), "[::1]");
  EXPECT_EQ(RelayServerOptions::hostForURL("127.0.0.1"), "127.0.0.1");
}

TEST(RelayServerOptions, ReadsStreamCapAndPhoneFolder) {
  const auto defaults = RelayServerOptions::parse({});
  ASSERT_TRUE(defaults);
  EXPECT_EQ(defaults->maxStreams, 4096u);
  EXPECT_EQ(defaults->phoneDir, "");

  const auto set = RelayServerOptions::parse({"--max-streams", "7", "--phone-dir", "/srv/app"});
  ASSERT_TRUE(set);
  EXPECT_EQ(set->maxStreams, 7u);
  EXPECT_EQ(set->phoneDir, "/srv/app");

  for (const auto& bad : {std::vector<std::string>{"--max-streams", "0"},
                                             {"--max-streams", "-3"},
                                             {"--max-streams", "many"},
                                             {"--phone-dir", ""},
                                             {"--phone-dir"}}) {
    SCOPED_TRACE(testing::PrintToString(bad));
    EXPECT_FALSE(RelayServerOptions::parse(bad));
  }
}

}  // namespace
}  // namespace torvo
