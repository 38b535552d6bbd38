// NtfyRelay and NtfyClient against scripted HTTP answers on 127.0.0.1.
#include "agent/relay.h"

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <future>

#include "relay_server/relay_server.h"
#include "tests/relay_test_responder.h"
#include "tests/run_awaitable.h"
#include "tests/test_support.h"

namespace torvo {
namespace {

using namespace std::chrono_literals;
using test::ScriptedResponder;

using test::runAwaitable;

double seconds(std::chrono::steady_clock::duration duration) {
  return std::chrono::duration<double>(duration).count();
}

constexpr std::int64_t rfcExample = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT

TEST(HttpDate, ReadsOnlyTheFixedGMTForm) {
  struct Case {
    std::string text;
    std::optional<std::int64_t> instant;
  };
  const std::vector<Case> cases = {
      {"Sun, 06 Nov 1994 08:49:37 GMT", rfcExample},
      {"Thu, 01 Jan 1970 00:00:00 GMT", 0},
      {"Tue, 29 Feb 2028 23:59:59 GMT", 1835481599},
      {"Sunday, 06-Nov-94 08:49:37 GMT", std::nullopt},  // RFC 850
      {"Sun Nov  6 08:49:37 1994", std::nullopt},        // asctime
      {"Sun, 06 Nov 1994 08:49:37 UTC", std::nullopt},
      {"Sun, 06 Nov 1994 08:49:37 +0000", std::nullopt},
      {"Sun, 6 Nov 1994 08:49:37 GMT", std::nullopt},
      {"Sun, 06 nov 1994 08:49:37 GMT", std::nullopt},
      {"Xyz, 06 Nov 1994 08:49:37 GMT", std::nullopt},
      {"Sun, 31 Nov 1994 08:49:37 GMT", std::nullopt},
      {"Sun, 06 Nov 1994 24:00:00 GMT", std::nullopt},
      {"Sun, 06 Nov 1994 08:60:37 GMT", std::nullopt},
      {"Sun, 06 Nov 1994 08:49:37 GMT ", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(NtfyRelay::httpDate(c.text), c.instant);
  }
}

TEST(NetworkPath, DefaultRouteMustBeUpAndUsable) {
  const std::string v4Header =
      "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
  const std::string v4Default = v4Header +
                                "eth0\t00000000\t0102A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
                                "eth0\t0002A8C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n";
  const std::string v4LocalOnly =
      v4Header + "eth0\t0002A8C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n";
  const std::string v4Down = v4Header + "eth0\t00000000\t0102A8C0\t0002\t0\t0\t100\t00000000\t0\t0\t0\n";
  const std::string zeros(32, '0');
  const std::string v6Default = zeros + " 00 " + zeros + " 00 fe800000000000000000000000000001 "
                                "00000400 00000001 00000000 00000003     eth0\n";
  const std::string v6Reject = zeros + " 00 " + zeros + " 00 " + zeros +
                               " ffffffff 00000001 00000000 00200200       lo\n";
  EXPECT_TRUE(NtfyRelay::hasDefaultRoute(v4Default, ""));
  EXPECT_TRUE(NtfyRelay::hasDefaultRoute(v4LocalOnly, v6Default));
  EXPECT_FALSE(NtfyRelay::hasDefaultRoute(v4LocalOnly, v6Reject));
  EXPECT_FALSE(NtfyRelay::hasDefaultRoute(v4Down, ""));
  EXPECT_FALSE(NtfyRelay::hasDefaultRoute("", ""));
  EXPECT_FALSE(NtfyRelay::hasDefaultRoute(v4Header + "garbage\n", "short line\n"));
}

TEST(NetworkPath, WaitEndsWhenThePathComesUpOrAtTheDeadline) {
  struct Case {
    double wait;
    int usableFromCheck;  // the first check (0-based) that finds a usable path
    bool answer;
    double minSeconds, maxSeconds;
  };
  const std::vector<Case> cases = {
      {5, 0, true, 0, 0.2},       {5, 2, true, 0.4, 1.2},  {0.6, 1000, false, 0.55, 1.2},
      {0, 1000, false, 0, 0.2},   {-3, 1000, false, 0, 0.2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.wait << " " << c.usableFromCheck);
    int checks = 0;
    const auto started = std::chrono::steady_clock::now();
    const bool usable = runAwaitable(NtfyRelay::waitForPath(
        NtfyRelay::systemNow() + c.wait, NtfyRelay::systemNow,
        [&] { return checks++ >= c.usableFromCheck; }));
    const double took = seconds(std::chrono::steady_clock::now() - started);
    EXPECT_EQ(usable, c.answer);
    EXPECT_GE(took, c.minSeconds);
    EXPECT_LT(took, c.maxSeconds);
  }
  // The real kernel check answers either way without hanging.
  const auto started = std::chrono::steady_clock::now();
  runAwaitable(NtfyRelay::waitForPath(NtfyRelay::systemNow() + 0.3));
  EXPECT_LT(seconds(std::chrono::steady_clock::now() - started), 1.0);
}

// Where no default route exists (a private network namespace holding only loopback), a relay
// whose address has a route is usable at once: on loopback, by address or by a name the hosts
// file gives. An address no route leads to, and a name only a name server knows, are not.
TEST(NetworkPath, ARelayWithARouteNeedsNoDefaultRoute) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for a private network namespace";
  test::TempDir dir;
  const std::string hosts = (dir / "hosts").string();
  std::ofstream(hosts) << "# local names\n127.0.0.1\tlocalhost\n"
                          "127.0.0.1\tnas.lan relay.lan  # the relay box\n"
                          "192.0.2.7 far.lan\n";
  int report[2];
  ASSERT_EQ(::pipe(report), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(report[0]);
    std::string failures;
    ifreq loopback{};
    std::strcpy(loopback.ifr_name, "lo");
    const bool ownNetwork = ::unshare(CLONE_NEWNET) == 0;
    const int control = ::socket(AF_INET, SOCK_DGRAM, 0);  // in the new namespace
    if (!ownNetwork) {
      failures = "skip";
    } else if (::ioctl(control, SIOCGIFFLAGS, &loopback) != 0 ||
               (loopback.ifr_flags |= IFF_UP, ::ioctl(control, SIOCSIFFLAGS, &loopback) != 0)) {
      failures = "cannot bring loopback up; ";
    } else {
      if (NtfyRelay::kernelHasDefaultRoute()) failures += "a default route; ";
      const std::pair<const char*, bool> cases[] = {
          {"http://127.0.0.1:8080", true},      {"http://LocalHost:8080/base", true},
          {"https://Relay.LAN./base", true},    {"http://10.1.2.3:8080", false},
          {"http://far.lan", false},            {"https://relay.example.org", false},
          {"not a url", false},
      };
      for (const auto& [relay, usable] : cases) {
        if (NtfyRelay::routeToRelay(relay, hosts)() != usable) {
          failures += std::string(relay) + "; ";
        }
      }
      // The health check of a loopback relay, with the default environment's path check,
      // answers at once instead of waiting out the network.
      ScriptedResponder responder({{ScriptedResponder::http(200)}});
      WorkerPool workers(1);
      NtfyRelay transport(responder.url(), "t", workers, {.attemptSpacing = 0.1});
      const auto started = std::chrono::steady_clock::now();
      const auto health = runAwaitable(transport.health(20));
      if (!health.reachable || std::chrono::steady_clock::now() - started > 5s) {
        failures += "health waited or failed; ";
      }
    }
    (void)!::write(report[1], failures.data(), failures.size());
    ::_exit(0);
  }
  ::close(report[1]);
  std::string failures;
  char buffer[512];
  for (ssize_t n; (n = ::read(report[0], buffer, sizeof buffer)) > 0;) failures.append(buffer, n);
  ::close(report[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (failures == "skip") {
    GTEST_SKIP() << "no private network namespace here";
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(failures, "");
}

class NtfyRelayTest : public testing::Test {
 protected:
  NtfyRelay relay(const ScriptedResponder& responder, NtfyRelay::Environment environment) {
    return NtfyRelay(responder.url() + "/base", "mac-topic", workers_, std::move(environment));
  }

  static NtfyRelay::Environment fixedClock(double now) {
    return {.now = [now] { return now; }, .pathUsable = [] { return true; }, .attemptSpacing = 0.1};
  }

  static NtfyRelay::Environment realClock(double attemptSpacing, bool network = true) {
    return {.now = NtfyRelay::systemNow,
            .pathUsable = [network] { return network; },
            .attemptSpacing = attemptSpacing};
  }

  WorkerPool workers_{2};
};

TEST_F(NtfyRelayTest, PublishPostsTheTextAndReadsTheEventId) {
  const auto answer = ScriptedResponder::http(
      200, {}, R"({"id":"abc","time":1,"event":"message","topic":"mac-topic","message":"x"})");
  ScriptedResponder responder({{answer}, {ScriptedResponder::http(200)}});
  auto transport = relay(responder, fixedClock(NtfyRelay::systemNow()));
  HttpCancel cancel;
  EXPECT_EQ(transport.client().publish("hello", cancel), "abc");
  EXPECT_EQ(transport.client().publish("hello", cancel), std::nullopt);  // empty 200 body
  runAwaitable(transport.publish("through the transport \xE2\x9C\x93"));
  EXPECT_EQ(responder.requestLines(),
            std::vector<std::string>(3, "POST /base/mac-topic HTTP/1.1"));
  const auto request = responder.lastRequest();
  EXPECT_NE(request.find("\r\nContent-Type: text/plain; charset=utf-8\r\n"), std::string::npos)
      << request;
  EXPECT_TRUE(request.ends_with("\r\n\r\nthrough the transport \xE2\x9C\x93")) << request;
}

TEST_F(NtfyRelayTest, ErrorStatusesBecomeNtfyErrors) {
  for (const int status : {429, 500, 301, 404}) {
    SCOPED_TRACE(status);
    ScriptedResponder responder({{ScriptedResponder::http(status, {}, "refused")}});
    auto transport = relay(responder, fixedClock(NtfyRelay::systemNow()));
    try {
      runAwaitable(transport.publish("x"));
      ADD_FAILURE() << "publish succeeded";
    } catch (const NtfyError& error) {
      EXPECT_EQ(error, NtfyError::http(status));
    }
    try {
      runAwaitable(transport.poll(NtfySince::all()));
      ADD_FAILURE() << "poll succeeded";
    } catch (const NtfyError& error) {
      EXPECT_EQ(error.status, status);
    }
  }
}

// A relay that moved (to https, to a new base path) answers with a redirect: it is followed,
// and a publish stays a POST with its body whatever the redirect's status.
TEST_F(NtfyRelayTest, RedirectsAreFollowedAndAPublishStaysAPost) {
  const std::string event =
      R"({"id":"e1","time":1,"event":"message","topic":"mac-topic","message":"x"})";
  for (const int status : {301, 302, 303, 307, 308}) {
    SCOPED_TRACE(status);
    ScriptedResponder target({{ScriptedResponder::http(200, {}, event)}});
    ScriptedResponder moved(
        {{ScriptedResponder::http(status, {"Location: " + target.url() + "/new/mac-topic"})}});
    auto transport = relay(moved, fixedClock(NtfyRelay::systemNow()));
    HttpCancel cancel;
    EXPECT_EQ(transport.client().publish("hello", cancel), "e1");
    EXPECT_EQ(moved.requestLines(), std::vector<std::string>{"POST /base/mac-topic HTTP/1.1"});
    EXPECT_EQ(target.requestLines(), std::vector<std::string>{"POST /new/mac-topic HTTP/1.1"});
    EXPECT_TRUE(target.lastRequest().ends_with("\r\n\r\nhello")) << target.lastRequest();
  }
  // Polls and health checks follow as well.
  ScriptedResponder target({{ScriptedResponder::http(200, {}, event + "\n")}});
  ScriptedResponder moved({{ScriptedResponder::http(301, {"Location: " + target.url() + "/x"})}});
  auto transport = relay(moved, fixedClock(NtfyRelay::systemNow()));
  EXPECT_EQ(runAwaitable(transport.poll(NtfySince::all())).size(), 1u);
  EXPECT_TRUE(runAwaitable(transport.health(0)).reachable);
  EXPECT_EQ(target.requests(), 2);
}

// Redirects lead only to http and https, and only a few in a row.
TEST_F(NtfyRelayTest, RedirectsElsewhereOrWithoutEndFail) {
  struct Case {
    std::string location;
    int requests;  // that reach the relay
  };
  const std::vector<Case> cases = {
      {"ftp://127.0.0.1/mac-topic", 1},
      {"file:///etc/hostname", 1},
      {"/base/mac-topic", 6},  // itself, again and again: the first and five redirects
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.location);
    ScriptedResponder responder({{ScriptedResponder::http(308, {"Location: " + c.location})}});
    auto transport = relay(responder, fixedClock(NtfyRelay::systemNow()));
    EXPECT_THROW(runAwaitable(transport.publish("x")), TransportError);
    EXPECT_EQ(responder.requests(), c.requests);
  }
}

TEST_F(NtfyRelayTest, PollKeepsOnlyMessagesInOrder) {
  const std::string body =
      "{\"id\":\"o\",\"time\":1,\"event\":\"open\"}\r\n"
      "\r\n"
      "this is not json\r\n"
      "{\"id\":\"m1\",\"time\":2,\"event\":\"message\",\"message\":\"first\"}\r\n"
      "\t {\"id\":\"m2\",\"time\":3,\"event\":\"message\",\"message\":\"second \xFF\"}\r\n"
      "{\"id\":\"m3\",\"event\":\"message\",\"message\":\"no time\"}\r\n"
      "{\"id\":\"k\",\"time\":4,\"event\":\"keepalive\"}\r\n";
  ScriptedResponder responder({{ScriptedResponder::http(200, {}, body)}});
  auto transport = relay(responder, fixedClock(NtfyRelay::systemNow()));
  const auto events = runAwaitable(transport.poll(NtfySince::unix(500)));
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].id, "m1");
  EXPECT_EQ(events[1].message, "second \xEF\xBF\xBD");
  EXPECT_EQ(responder.requestLines(),
            std::vector<std::string>{"GET /base/mac-topic/json?poll=1&since=500 HTTP/1.1"});
}

TEST_F(NtfyRelayTest, OversizedAnswersFailTheRequest) {
  const std::string line = R"({"id":"m","time":2,"event":"message","message":"x"})" "\n";
  std::string body;
  while (body.size() <= HttpSession::maxBody) body += line;
  ScriptedResponder responder({{ScriptedResponder::http(200, {}, body)}});
  auto transport = relay(responder, fixedClock(NtfyRelay::systemNow()));
  try {
    runAwaitable(transport.poll(NtfySince::all()));
    ADD_FAILURE() << "an answer over the cap was accepted";
  } catch (const TransportError& error) {
    EXPECT_EQ(error.kind(), TransportError::Kind::tooLarge);
  }
}

TEST_F(NtfyRelayTest, HealthMeasuresTheSkewFromTheDate) {
  struct Case {
    std::string answer;
    double now;
    RelayHealth health;
  };
  const auto dated = [](int status, const std::string& date) {
    return ScriptedResponder::http(status, {"dAtE: " + date}, "{\"healthy\":true}");
  };
  const std::string rfcDate = "Sun, 06 Nov 1994 08:49:37 GMT";
  const auto relayTime = static_cast<double>(rfcExample);
  const std::vector<Case> cases = {
      {dated(200, rfcDate), relayTime - 30, {true, 30}},
      {dated(200, rfcDate), relayTime + 12, {true, -12}},
      {dated(200, rfcDate), relayTime - 29.5, {true, 30}},   // halves away from zero
      {dated(200, rfcDate), relayTime + 29.5, {true, -30}},
      {dated(200, rfcDate), relayTime - 29.4, {true, 29}},
      {dated(204, rfcDate), relayTime, {true, 0}},
      {ScriptedResponder::http(200), relayTime, {true, std::nullopt}},
      {dated(200, "Sunday, 06-Nov-94 08:49:37 GMT"), relayTime, {true, std::nullopt}},
      {dated(503, rfcDate), relayTime, {false, std::nullopt}},
      {dated(429, rfcDate), relayTime, {false, std::nullopt}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer.substr(0, c.answer.find("\r\n\r\n")));
    ScriptedResponder responder({{c.answer}});
    auto transport = relay(responder, fixedClock(c.now));
    EXPECT_EQ(runAwaitable(transport.health(0)), c.health);
    EXPECT_EQ(responder.requestLines(), std::vector<std::string>{"GET /base/v1/health HTTP/1.1"});
  }
}

TEST_F(NtfyRelayTest, HealthRetriesUntilTheDeadline) {
  ScriptedResponder failing({{ScriptedResponder::http(503)}});
  auto transport = relay(failing, realClock(0.2));
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(runAwaitable(transport.health(1.0)), RelayHealth{});
  const double took = seconds(std::chrono::steady_clock::now() - started);
  EXPECT_GE(took, 0.95);
  EXPECT_LT(took, 2.5);
  EXPECT_GE(failing.requests(), 3);
  EXPECT_LE(failing.requests(), 7);

  ScriptedResponder recovering({{ScriptedResponder::http(503)},
                                {ScriptedResponder::http(503)},
                                {ScriptedResponder::http(200)}});
  auto second = relay(recovering, realClock(0.1));
  EXPECT_TRUE(runAwaitable(second.health(5)).reachable);
  EXPECT_EQ(recovering.requests(), 3);
}

TEST_F(NtfyRelayTest, WithoutNetworkHealthWaitsForThePathThenTriesOnce) {
  for (const int status : {503, 200}) {
    SCOPED_TRACE(status);
    ScriptedResponder responder({{ScriptedResponder::http(status)}});
    auto transport = relay(responder, realClock(0.1, false));
    const auto started = std::chrono::steady_clock::now();
    const auto health = runAwaitable(transport.health(0.6));
    const double took = seconds(std::chrono::steady_clock::now() - started);
    EXPECT_EQ(health.reachable, status == 200);
    EXPECT_EQ(responder.requests(), 1);
    EXPECT_GE(took, 0.55);
    EXPECT_LT(took, 1.5);
  }
}

TEST_F(NtfyRelayTest, HealthOfAnUnreachableRelayMakesOneAttemptWithoutWait) {
  std::string url;
  {
    ScriptedResponder gone({{ScriptedResponder::http(200)}});
    url = gone.url();
  }
  NtfyRelay transport(url, "t", workers_, fixedClock(100));
  EXPECT_EQ(runAwaitable(transport.health(0)), RelayHealth{});
}

TEST_F(NtfyRelayTest, TalksToTorvoRelay) {
  RelayServer server({.host = "127.0.0.1", .port = 0, .keepalive = 45, .now = {}});
  NtfyRelay transport("http://127.0.0.1:" + std::to_string(server.start()), "t", workers_);
  runAwaitable(transport.publish("sealed line"));
  const auto events = runAwaitable(transport.poll(NtfySince::all()));
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].message, "sealed line");
  const auto health = runAwaitable(transport.health(0));
  EXPECT_TRUE(health.reachable);
  ASSERT_TRUE(health.skew);
  EXPECT_LE(std::abs(*health.skew), 2);
}

}  // namespace
}  // namespace torvo

namespace torvo {
namespace {

// The check-ins' relays share one session per relay: the publishes and polls of a check-in and
// of the next one travel over the connection the first request opened; another relay gets a
// session of its own.
TEST(RelaySessionsTest, RequestsAcrossCheckInsReuseOneConnection) {
  RelayServer server(RelayServer::Options{});
  const std::string url = "http://127.0.0.1:" + std::to_string(server.start());
  WorkerPool workers(2);
  RelaySessions sessions;
  const auto session = sessions.forRelay(url);
  {
    NtfyRelay first(url, "topic", workers, sessions.forRelay(url));
    const auto id = test::runAwaitable(first.publish("one"));
    EXPECT_TRUE(id && !id->empty());
    test::runAwaitable(first.publish("two"));
  }
  NtfyRelay second(url, "topic", workers, sessions.forRelay(url));
  EXPECT_EQ(second.client().session(), session);
  const auto events = test::runAwaitable(second.poll(NtfySince::all()));
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(session->connectionsOpened(), 1u);

  EXPECT_NE(sessions.forRelay(url + "/elsewhere"), session);
  server.stop();
}

}  // namespace
}  // namespace torvo
