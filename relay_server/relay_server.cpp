#include "relay_server/relay_server.h"

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <deque>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <stdexcept>
#include <thread>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "kit/unicode_text.h"

namespace torvo {
namespace {

constexpr const char* topicPattern = "([-_A-Za-z0-9]{1,64})";
constexpr std::size_t streamThreads = 32;

struct StoredEvent {
  std::uint64_t sequence;
  std::string id;
  std::int64_t time;
  std::int64_t expires;
  std::string message;
};

// Where a poll or stream starts.
struct SinceAll {};
struct SinceNone {};
struct SinceTime {
  std::int64_t seconds;
};
struct SinceId {
  std::string id;
};
using Since = std::variant<SinceAll, SinceNone, SinceTime, SinceId>;

bool isEventId(const std::string& text) {
  if (text.size() != 12) return false;
  for (unsigned char c : text) {
    if (!std::isalnum(c)) return false;
  }
  return true;
}

std::optional<Since> parseSince(const std::string& text) {
  if (text == "all") return SinceAll{};
  if (text == "none") return SinceNone{};
  if (!text.empty() && text.size() <= 18 &&
      text.find_first_not_of("0123456789") == std::string::npos) {
    return SinceTime{std::stoll(text)};
  }
  if (isEventId(text)) return SinceId{text};
  return std::nullopt;
}

std::string httpDateNow() {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  gmtime_r(&now, &parts);
  static constexpr const char* days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char text[40];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", days[parts.tm_wday],
                parts.tm_mday, months[parts.tm_mon], parts.tm_year + 1900, parts.tm_hour,
                parts.tm_min, parts.tm_sec);
  return text;
}

void setError(httplib::Response& response, int status, int code, const std::string& error) {
  response.status = status;
  const nlohmann::json body = {{"code", code}, {"http", status}, {"error", error}};
  response.set_content(body.dump() + "\n", "application/json");
}

}  // namespace

struct RelayServer::State {
  Options options;
  httplib::Server server;
  std::thread thread;

  std::mutex mutex;
  std::condition_variable changed;
  bool stopping = false;
  // Streams whose answer is still being written; `stop` lets them end before it closes the
  // server, which would otherwise cut a stream off between two writes without its last chunk.
  int openStreams = 0;
  std::uint64_t lastSequence = 0;
  std::map<std::string, std::deque<StoredEvent>> topics;
  std::mt19937_64 random{std::random_device{}()};

  std::int64_t now() const {
    if (options.now) return options.now();
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  }

  // Needs `mutex`.
  std::string newId() {
    static constexpr std::string_view alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    std::string id(12, ' ');
    for (auto& c : id) c = alphabet[pick(random)];
    return id;
  }

  // Needs `mutex`.
  void pruneExpired(std::int64_t at) {
    for (auto it = topics.begin(); it != topics.end();) {
      auto& events = it->second;
      while (!events.empty() && events.front().expires <= at) events.pop_front();
      it = events.empty() ? topics.erase(it) : std::next(it);
    }
  }

  // The kept events of `topic` that `since` selects. Needs `mutex`.
  std::vector<StoredEvent> selected(const std::string& topic, const Since& since) {
    std::vector<StoredEvent> out;
    const auto found = topics.find(topic);
    if (found == topics.end() || std::holds_alternative<SinceNone>(since)) return out;
    const auto& events = found->second;
    auto from = events.begin();
    if (const auto* time = std::get_if<SinceTime>(&since)) {
      from = std::find_if(events.begin(), events.end(),
                          [&](const StoredEvent& e) { return e.time >= time->seconds; });
    } else if (const auto* id = std::get_if<SinceId>(&since)) {
      const auto match = std::find_if(events.begin(), events.end(),
                                      [&](const StoredEvent& e) { return e.id == id->id; });
      if (match != events.end()) from = std::next(match);
    }
    out.assign(from, events.end());
    return out;
  }

  static std::string messageLine(const std::string& topic, const StoredEvent& event) {
    const nlohmann::json line = {{"id", event.id},          {"time", event.time},
                                 {"expires", event.expires}, {"event", "message"},
                                 {"topic", topic},           {"message", event.message}};
    return line.dump() + "\n";
  }

  // Needs `mutex`.
  std::string bookkeepingLine(const std::string& topic, const char* kind) {
    const nlohmann::json line = {{"id", newId()}, {"time", now()}, {"event", kind}, {"topic", topic}};
    return line.dump() + "\n";
  }

  void publish(const httplib::Request& request, httplib::Response& response) {
    const std::string topic = request.matches[1];
    if (request.body.size() > maxMessageBytes) {
      setError(response, 413, 41301, "message too large");
      return;
    }
    if (!UnicodeText::isValidUTF8(request.body)) {
      setError(response, 400, 40001, "message is not valid UTF-8");
      return;
    }
    std::string line;
    {
      std::lock_guard lock(mutex);
      const auto at = now();
      pruneExpired(at);
      StoredEvent event{++lastSequence, newId(), at, at + keepSeconds, request.body};
      line = messageLine(topic, event);
      topics[topic].push_back(std::move(event));
    }
    changed.notify_all();
    response.set_content(line, "application/json");
  }

  void json(const httplib::Request& request, httplib::Response& response) {
    const std::string topic = request.matches[1];
    const bool poll = request.has_param("poll") && request.get_param_value("poll") != "0";
    std::optional<Since> since = poll ? Since(SinceAll{}) : Since(SinceNone{});
    if (request.has_param("since")) since = parseSince(request.get_param_value("since"));
    if (!since) {
      setError(response, 400, 40008, "invalid since parameter");
      return;
    }
    if (poll) {
      std::string body;
      std::lock_guard lock(mutex);
      pruneExpired(now());
      for (const auto& event : selected(topic, *since)) body += messageLine(topic, event);
      response.set_content(body, "application/x-ndjson; charset=utf-8");
      return;
    }
    stream(topic, *since, response);
  }

  // An open event, the selected kept events, then new events as they come, with keep-alive
  // events in between; ends normally when the server stops.
  void stream(const std::string& topic, const Since& since, httplib::Response& response) {
    auto cursor = std::make_shared<std::optional<std::uint64_t>>();
    {
      std::lock_guard lock(mutex);
      ++openStreams;
    }
    response.set_chunked_content_provider(
        "application/x-ndjson; charset=utf-8",
        [this, topic, since, cursor](std::size_t, httplib::DataSink& sink) {
          std::string out;
          std::unique_lock lock(mutex);
          if (!*cursor) {
            pruneExpired(now());
            out = bookkeepingLine(topic, "open");
            for (const auto& event : selected(topic, since)) out += messageLine(topic, event);
            *cursor = lastSequence;
          } else {
            const auto hasNew = [&] {
              const auto found = topics.find(topic);
              return found != topics.end() && !found->second.empty() &&
                     found->second.back().sequence > **cursor;
            };
            const bool woken = changed.wait_for(lock, std::chrono::seconds(options.keepalive),
                                                [&] { return stopping || hasNew(); });
            if (stopping) {
              lock.unlock();
              sink.done();
              return true;
            }
            if (woken) {
              for (const auto& event : topics[topic]) {
                if (event.sequence > **cursor) out += messageLine(topic, event);
              }
              *cursor = lastSequence;
            } else {
              out = bookkeepingLine(topic, "keepalive");
            }
          }
          lock.unlock();
          return sink.write(out.data(), out.size());
        },
        [this](bool) {
          std::lock_guard lock(mutex);
          --openStreams;
          changed.notify_all();
        });
  }
};

RelayServer::RelayServer(Options options) : state_(std::make_unique<State>()) {
  state_->options = std::move(options);
  auto& server = state_->server;
  auto* state = state_.get();
  server.new_task_queue = [] { return new httplib::ThreadPool(streamThreads); };
  server.set_payload_max_length(64 * 1024);
  server.Get("/v1/health", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("{\"healthy\":true}\n", "application/json");
  });
  const auto publish = [state](const httplib::Request& request, httplib::Response& response) {
    state->publish(request, response);
  };
  server.Post(std::string("/") + topicPattern, publish);
  server.Put(std::string("/") + topicPattern, publish);
  server.Get(std::string("/") + topicPattern + "/json",
             [state](const httplib::Request& request, httplib::Response& response) {
               state->json(request, response);
             });
  server.set_error_handler([](const httplib::Request&, httplib::Response& response) {
    if (!response.body.empty()) return;
    if (response.status == 404) {
      setError(response, 404, 40401, "page not found");
    } else if (response.status == 413) {
      setError(response, 413, 41301, "message too large");
    } else {
      setError(response, response.status, response.status * 100, "request refused");
    }
  });
  server.set_post_routing_handler([](const httplib::Request&, httplib::Response& response) {
    response.set_header("Date", httpDateNow());
  });
}

RelayServer::~RelayServer() { stop(); }

int RelayServer::start() {
  auto& server = state_->server;
  int port = state_->options.port;
  if (port == 0) {
    port = server.bind_to_any_port(state_->options.host);
  } else if (!server.bind_to_port(state_->options.host, port)) {
    port = -1;
  }
  if (port <= 0) {
    throw std::runtime_error("cannot listen on " + state_->options.host + ":" +
                             std::to_string(state_->options.port));
  }
  state_->thread = std::thread([&server] { server.listen_after_bind(); });
  // `stop` only reaches a server that is already running.
  while (!server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return port;
}

void RelayServer::stop() {
  {
    std::unique_lock lock(state_->mutex);
    state_->stopping = true;
    state_->changed.notify_all();
    // A client that does not read could hold its stream open; do not wait for it long.
    state_->changed.wait_for(lock, std::chrono::seconds(2),
                             [this] { return state_->openStreams == 0; });
  }
  state_->server.stop();
  if (state_->thread.joinable()) state_->thread.join();
}

}  // namespace torvo
