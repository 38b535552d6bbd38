#include "relay_server/relay_server.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <thread>
#include <utility>
#include <variant>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "kit/unicode_text.h"
#include "relay_server/phone_files.h"
#include "relay_server/relay_answers.h"
#include "relay_server/relay_events.h"

namespace torvo {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using asio::awaitable;
using asio::ip::tcp;
using namespace RelayAnswers;
using Connection = std::shared_ptr<beast::tcp_stream>;

// Requests larger than this are refused before their body is read.
constexpr std::size_t maxRequestBytes = 64 * 1024;
// A connection that sends no request for this long is closed.
constexpr auto idleTimeout = std::chrono::seconds(60);
// How long `stop` lets open streams and answers finish before it drops them.
constexpr auto stopGrace = std::chrono::seconds(2);
constexpr const char* allowedMethods = "GET, POST, PUT, OPTIONS";
constexpr const char* allowedHeaders = "Authorization, Content-Type, Cache-Control, X-Title";

auto onError(beast::error_code& error) { return asio::redirect_error(asio::use_awaitable, error); }

// A stream the request asks for: its topic and where it starts.
struct StreamAsk {
  std::string topic;
  RelaySince since;
};

// One open stream, shared by its writer and the reader that watches for the client hanging up.
struct Follow {
  explicit Follow(asio::io_context& io, std::string topic) : wake(io), topic(std::move(topic)) {}
  asio::steady_timer wake;  // cancelled to wake the writer
  std::string topic;
  bool gone = false;   // the client hung up
  bool ended = false;  // the writer is done
};

}  // namespace

struct RelayServer::State {
  explicit State(Options options) : options(std::move(options)), events(this->options.now) {}

  Options options;
  asio::io_context io{1};
  tcp::acceptor acceptor{io};
  std::thread thread;

  // Touched only on the I/O thread.
  RelayEvents events;
  bool stopping = false;
  std::set<Follow*> follows;
  std::set<beast::tcp_stream*> waiting;  // connections between two requests

  // `stop` waits on this for the I/O thread to run out of work.
  std::mutex mutex;
  std::condition_variable finished;
  bool ran = false;

  awaitable<void> acceptLoop() {
    for (;;) {
      beast::error_code error;
      tcp::socket socket = co_await acceptor.async_accept(onError(error));
      if (stopping || !acceptor.is_open()) co_return;
      if (error) {
        // Out of descriptors, say: try again shortly rather than spin.
        asio::steady_timer pause(io, std::chrono::milliseconds(100));
        co_await pause.async_wait(onError(error));
        continue;
      }
      asio::co_spawn(io, serve(std::make_shared<beast::tcp_stream>(std::move(socket))),
                     asio::detached);
    }
  }

  // Serves the requests of one connection in turn until it closes, a stream ends or the server
  // stops.
  awaitable<void> serve(Connection connection) {
    beast::flat_buffer buffer;
    beast::error_code error;
    while (!stopping) {
      http::request_parser<http::string_body> parser;
      parser.body_limit(maxRequestBytes);
      connection->expires_after(idleTimeout);
      waiting.insert(connection.get());
      co_await http::async_read_header(*connection, buffer, parser, onError(error));
      waiting.erase(connection.get());
      if (auto refusal = refusalFor(error)) {
        co_await refuse(connection, parser.get().version(), std::move(*refusal));
        co_return;
      }
      if (error) break;
      if (parser.get()[http::field::expect] == "100-continue") {
        http::response<http::empty_body> goOn{http::status::continue_, parser.get().version()};
        co_await http::async_write(*connection, goOn, onError(error));
        if (error) break;
      }
      co_await http::async_read(*connection, buffer, parser, onError(error));
      if (auto refusal = refusalFor(error)) {
        co_await refuse(connection, parser.get().version(), std::move(*refusal));
        co_return;
      }
      if (error) break;
      Request request = parser.release();
      auto routed = route(request);
      if (auto* ask = std::get_if<StreamAsk>(&routed)) {
        co_await follow(connection, request, *ask);
        co_return;
      }
      auto& response = std::get<Response>(routed);
      const bool head = request.method() == http::verb::head;
      addCommonHeaders(response);
      response.version(request.version());
      response.keep_alive(request.keep_alive() && !stopping);
      if (head) {
        // The length the answer to GET would have, without its body.
        response.content_length(response.body().size());
        response.body().clear();
      } else {
        response.prepare_payload();
      }
      co_await http::async_write(*connection, response, onError(error));
      if (error || !response.keep_alive()) break;
    }
    connection->socket().shutdown(tcp::socket::shutdown_send, error);
    connection->close();
  }

  // The answer to a request that could not be read, or nothing when the connection simply
  // ended or went quiet. The parser refuses a declared length over its limit once the header
  // is in.
  static std::optional<Response> refusalFor(const beast::error_code& error) {
    if (error == http::error::body_limit) return errorAnswer(413, 41301, "message too large");
    if (error == http::error::header_limit) {
      return errorAnswer(431, 43101, "request header fields too large");
    }
    if (error.category() == beast::error_code(http::error::bad_method).category() &&
        error != http::error::end_of_stream && error != http::error::partial_message) {
      return errorAnswer(400, 40000, "bad request");
    }
    return std::nullopt;
  }

  // Answers a request that could not be read and closes. The unread rest is drained first:
  // closing a socket with unread data resets the connection, and the client could lose the
  // answer.
  awaitable<void> refuse(Connection connection, unsigned version, Response response) {
    addCommonHeaders(response);
    response.version(version == 10 ? 10 : 11);
    response.keep_alive(false);
    response.prepare_payload();
    beast::error_code error;
    co_await http::async_write(*connection, response, onError(error));
    connection->socket().shutdown(tcp::socket::shutdown_send, error);
    connection->expires_after(stopGrace);
    std::array<char, 8192> discard;
    for (std::size_t drained = 0; !error && drained < 16 * maxRequestBytes;) {
      drained += co_await connection->async_read_some(asio::buffer(discard), onError(error));
    }
    connection->close();
  }

  std::variant<Response, StreamAsk> route(const Request& request) {
    const auto target = stdView(request.target());
    const auto question = target.find('?');
    const auto path = target.substr(0, question);
    const auto query =
        question == std::string_view::npos ? std::string_view() : target.substr(question + 1);
    const auto method = request.method();

    if (method == http::verb::options) return preflight(request);
    if (!options.phoneDir.empty() && (path == "/phone" || path.starts_with("/phone/"))) {
      return phoneFile(method, path);
    }
    if (path == "/v1/health" && method == http::verb::get) {
      return answer(http::status::ok, "{\"healthy\":true}\n", "application/json");
    }
    const auto slash = path.find('/', 1);
    const auto topic = path.substr(1, slash == std::string_view::npos ? slash : slash - 1);
    if (isTopic(topic)) {
      if (slash == std::string_view::npos &&
          (method == http::verb::post || method == http::verb::put)) {
        return publish(std::string(topic), request.body());
      }
      if (path.substr(slash) == "/json" && method == http::verb::get) {
        return json(std::string(topic), query);
      }
    }
    return errorAnswer(404, 40401, "page not found");
  }

  static Response preflight(const Request& request) {
    auto response = answer(http::status::no_content, "", "text/plain");
    response.erase(http::field::content_type);
    response.set(http::field::access_control_allow_methods, allowedMethods);
    const auto asked = request[http::field::access_control_request_headers];
    response.set(http::field::access_control_allow_headers,
                 asked.empty() ? beast::string_view(allowedHeaders) : asked);
    response.set(http::field::access_control_max_age, "86400");
    return response;
  }

  Response phoneFile(http::verb method, std::string_view path) {
    if (path == "/phone") {
      auto response = answer(http::status::moved_permanently, "", "text/plain");
      response.set(http::field::location, "/phone/");
      return response;
    }
    if (method != http::verb::get && method != http::verb::head) {
      return errorAnswer(405, 40501, "method not allowed");
    }
    const auto found = PhoneFiles::find(options.phoneDir, path.substr(std::string_view("/phone/").size()));
    if (!found) return errorAnswer(404, 40401, "page not found");
    std::ifstream file(found->path, std::ios::binary);
    if (!file) return errorAnswer(404, 40401, "page not found");
    auto response = answer(http::status::ok,
                           std::string(std::istreambuf_iterator<char>(file), {}), found->contentType);
    response.set("X-Content-Type-Options", "nosniff");
    response.set(http::field::cache_control, "no-cache");
    return response;
  }

  Response publish(const std::string& topic, const std::string& body) {
    if (body.size() > maxMessageBytes) return errorAnswer(413, 41301, "message too large");
    if (!UnicodeText::isValidUTF8(body)) return errorAnswer(400, 40001, "message is not valid UTF-8");
    auto line = events.publish(topic, body);
    for (auto* follow : follows) {
      if (follow->topic == topic) follow->wake.cancel();
    }
    return answer(http::status::ok, std::move(line), "application/json");
  }

  std::variant<Response, StreamAsk> json(std::string topic, std::string_view query) {
    const auto pollValue = queryValue(query, "poll");
    const bool poll = pollValue && *pollValue != "0";
    std::optional<RelaySince> since = poll ? RelaySince(SinceAll{}) : RelaySince(SinceNone{});
    if (const auto sinceValue = queryValue(query, "since")) since = parseRelaySince(*sinceValue);
    if (!since) return errorAnswer(400, 40008, "invalid since parameter");
    if (poll) {
      return answer(http::status::ok, events.selectedLines(topic, *since),
                    "application/x-ndjson; charset=utf-8");
    }
    if (follows.size() >= options.maxStreams) {
      return errorAnswer(429, 42901, "too many open streams");
    }
    return StreamAsk{std::move(topic), *since};
  }

  // Waits for the client to hang up while its stream is open (it sends nothing else), then
  // wakes the writer so that the stream ends at once.
  static awaitable<void> watchHangUp(Connection connection, std::shared_ptr<Follow> follow) {
    std::array<char, 512> discard;
    beast::error_code error;
    while (!error) co_await connection->socket().async_read_some(asio::buffer(discard), onError(error));
    if (follow->ended) co_return;
    follow->gone = true;
    follow->wake.cancel();
  }

  // An open event, the selected kept events, then new events as they come, with keep-alive
  // events after each quiet period; ends normally when the server stops, and at once when the
  // client hangs up.
  awaitable<void> follow(Connection connection, const Request& request, StreamAsk ask) {
    auto follow = std::make_shared<Follow>(io, ask.topic);
    follows.insert(follow.get());
    connection->expires_never();
    asio::co_spawn(io, watchHangUp(connection, follow), asio::detached);

    http::response<http::empty_body> head{http::status::ok, request.version()};
    addCommonHeaders(head);
    head.set(http::field::content_type, "application/x-ndjson; charset=utf-8");
    head.keep_alive(false);
    head.chunked(true);
    http::response_serializer<http::empty_body> serializer{head};
    beast::error_code error;
    co_await http::async_write_header(*connection, serializer, onError(error));

    std::string out = events.bookkeepingLine(ask.topic, "open") + events.selectedLines(ask.topic, ask.since);
    auto cursor = events.lastSequence();
    const auto keepalive = std::chrono::seconds(options.keepalive);
    while (!error && !follow->gone) {
      if (!out.empty()) {
        co_await asio::async_write(*connection, http::make_chunk(asio::buffer(out)), onError(error));
        out.clear();
        continue;
      }
      if (stopping) {
        co_await asio::async_write(*connection, http::make_chunk_last(), onError(error));
        break;
      }
      out = events.linesAfter(ask.topic, cursor);
      cursor = events.lastSequence();
      if (!out.empty()) continue;
      follow->wake.expires_after(keepalive);
      co_await follow->wake.async_wait(onError(error));
      if (!error) out = events.bookkeepingLine(ask.topic, "keepalive");
      error = {};
    }
    follow->ended = true;
    follows.erase(follow.get());
    connection->socket().shutdown(tcp::socket::shutdown_send, error);
    connection->close();
  }

  // On the I/O thread: refuses new connections, ends the streams and closes the connections
  // waiting for a request; the rest end after their answer.
  void beginStop() {
    stopping = true;
    beast::error_code error;
    acceptor.close(error);
    for (auto* follow : follows) follow->wake.cancel();
    for (auto* connection : waiting) connection->close();
  }
};

RelayServer::RelayServer(Options options) : state_(std::make_unique<State>(std::move(options))) {}

RelayServer::~RelayServer() { stop(); }

int RelayServer::start() {
  auto& state = *state_;
  try {
    tcp::resolver resolver(state.io);
    const auto endpoint =
        resolver.resolve(state.options.host, std::to_string(state.options.port),
                         tcp::resolver::passive | tcp::resolver::numeric_service)
            .begin()
            ->endpoint();
    state.acceptor.open(endpoint.protocol());
    state.acceptor.set_option(asio::socket_base::reuse_address(true));
    state.acceptor.bind(endpoint);
    state.acceptor.listen(asio::socket_base::max_listen_connections);
  } catch (const boost::system::system_error&) {
    beast::error_code ignored;
    state.acceptor.close(ignored);
    throw std::runtime_error("cannot listen on " + state.options.host + ":" +
                             std::to_string(state.options.port));
  }
  const int port = state.acceptor.local_endpoint().port();
  asio::co_spawn(state.io, state.acceptLoop(), asio::detached);
  state.thread = std::thread([&state] {
    state.io.run();
    std::lock_guard lock(state.mutex);
    state.ran = true;
    state.finished.notify_all();
  });
  return port;
}

void RelayServer::stop() {
  auto& state = *state_;
  if (!state.thread.joinable()) return;
  asio::post(state.io, [&state] { state.beginStop(); });
  {
    // A client that does not read could hold its stream or answer open; do not wait for it long.
    std::unique_lock lock(state.mutex);
    if (!state.finished.wait_for(lock, stopGrace, [&state] { return state.ran; })) state.io.stop();
  }
  state.thread.join();
}

}  // namespace torvo
