#include "app_socket/socket_server.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <expected>
#include <string>
#include <utility>

#include <asio/experimental/as_tuple.hpp>

#include "app_socket/frame.h"
#include "app_socket/peer_identity.h"
#include "app_socket/socket_io.h"
#include "base/file_store.h"
#include "kit/envelope.h"

namespace torvo {

using Socket = asio::local::stream_protocol::socket;
using Category = AgentLog::Category;

struct SocketServer::State {
  asio::any_io_executor executor;
  std::filesystem::path path;
  PeerPolicy policy;
  AgentLog& log;
  Handler handler;
  PeerPolicy::ConsoleLookup console;
  asio::local::stream_protocol::acceptor acceptor;
  bool started = false;
};

namespace {

constexpr std::string_view malformed = "dropped a malformed local request";

// Runs one read or write on `socket` with the server's deadline: when the deadline passes first
// the socket's operations are cancelled and the result is `timeout`; any other failure,
// including the peer closing early, is `truncated`.
template <class Operation>
asio::awaitable<std::expected<void, FrameError>> withDeadline(std::shared_ptr<Socket> socket,
                                                               Operation operation) {
  asio::steady_timer timer(socket->get_executor(),
                           std::chrono::seconds(SocketServer::ioTimeoutSeconds));
  auto pending = std::make_shared<bool>(true);
  auto timedOut = std::make_shared<bool>(false);
  timer.async_wait([socket, pending, timedOut](const asio::error_code& error) {
    if (error || !*pending) return;
    *timedOut = true;
    asio::error_code ignored;
    socket->cancel(ignored);
  });
  auto transfer = operation(*socket);
  const auto [error, bytes] = co_await std::move(transfer);
  *pending = false;
  timer.cancel();
  if (*timedOut) co_return std::unexpected(FrameError(FrameError::Kind::timeout));
  if (error) co_return std::unexpected(FrameError(FrameError::Kind::truncated));
  co_return std::expected<void, FrameError>{};
}

asio::awaitable<std::expected<std::string, FrameError>> readExactly(std::shared_ptr<Socket> socket,
                                                                    std::size_t count) {
  std::string bytes(count, '\0');
  auto read = withDeadline(std::move(socket), [&bytes](Socket& s) {
    return asio::async_read(s, asio::buffer(bytes), asio::experimental::as_tuple(asio::use_awaitable));
  });
  const auto result = co_await std::move(read);
  if (!result) co_return std::unexpected(result.error());
  co_return bytes;
}

asio::awaitable<std::expected<void, FrameError>> writeAll(std::shared_ptr<Socket> socket,
                                                          const std::string& bytes) {
  auto write = withDeadline(std::move(socket), [&bytes](Socket& s) {
    return asio::async_write(s, asio::buffer(bytes), asio::experimental::as_tuple(asio::use_awaitable));
  });
  co_return co_await std::move(write);
}

// The request of one frame, or nothing when the frame cannot be read or decoded.
asio::awaitable<std::optional<AppRequest>> readRequest(std::shared_ptr<Socket> socket) {
  auto readHeader = readExactly(socket, Frame::headerBytes);
  const auto header = co_await std::move(readHeader);
  if (!header) co_return std::nullopt;
  const auto length = Frame::length(*header);
  if (!length) co_return std::nullopt;
  auto readPayload = readExactly(socket, *length);
  const auto payload = co_await std::move(readPayload);
  if (!payload) co_return std::nullopt;
  const auto json = nlohmann::json::parse(*payload, nullptr, false);
  if (json.is_discarded()) co_return std::nullopt;
  auto request = AppRequest::fromJSON(json);
  if (!request) co_return std::nullopt;
  co_return std::move(*request);
}

asio::awaitable<void> serve(std::shared_ptr<SocketServer::State> state, Socket accepted) {
  auto socket = std::make_shared<Socket>(std::move(accepted));
  auto read = readRequest(socket);
  auto request = co_await std::move(read);
  if (!request) {
    state->log.info(Category::app, malformed);
    co_return;
  }
  AppResponse response;
  if (SocketServer::isBadRequest(*request)) {
    response.value = AppResponses::Refused{"Bad request"};
  } else {
    auto handled = state->handler(std::move(*request));
    response = co_await std::move(handled);
  }
  const auto frame = Frame::encode(response.toJSON());
  if (!frame) {
    state->log.info(Category::app, malformed);
    co_return;
  }
  auto write = writeAll(socket, *frame);
  if (!(co_await std::move(write))) state->log.info(Category::app, malformed);
}

asio::awaitable<void> acceptLoop(std::shared_ptr<SocketServer::State> state) {
  for (;;) {
    auto accept = state->acceptor.async_accept(asio::experimental::as_tuple(asio::use_awaitable));
    auto [error, socket] = co_await std::move(accept);
    if (!state->acceptor.is_open()) co_return;
    if (error) {
      // Out of descriptors or similar: pause briefly instead of spinning.
      asio::steady_timer pause(state->executor, std::chrono::milliseconds(100));
      auto wait = pause.async_wait(asio::experimental::as_tuple(asio::use_awaitable));
      co_await std::move(wait);
      continue;
    }
    // The user comes first: a peer of the wrong user is refused without its program being
    // looked at, which costs file checks and an Info.plist read on this thread. The console
    // user is looked up at most once per connection, so both checks see the same answer.
    std::optional<std::optional<std::uint32_t>> consoleUser;
    const PeerPolicy::ConsoleLookup console = [&state, &consoleUser] {
      if (!consoleUser) consoleUser = state->console();
      return *consoleUser;
    };
    const auto identity = Peer::identify(
        socket.native_handle(), state->policy.requirement,
        [&](std::uint32_t uid) { return state->policy.allowsUser(uid, console).allowed; });
    if (!identity) continue;
    const auto decision = state->policy.allows(*identity, console);
    if (!decision.allowed) {
      state->log.info(Category::app, "rejected a local connection (uid " +
                                         std::to_string(identity->uid) + ", pid " +
                                         std::to_string(identity->pid) + "): " + decision.reason);
      continue;
    }
    asio::co_spawn(state->executor, serve(state, std::move(socket)), asio::detached);
  }
}

}  // namespace

SocketServer::SocketServer(asio::any_io_executor executor, std::filesystem::path path,
                           PeerPolicy policy, AgentLog& log, Handler handler,
                           PeerPolicy::ConsoleLookup console)
    : state_(std::make_shared<State>(State{.executor = executor,
                                           .path = std::move(path),
                                           .policy = std::move(policy),
                                           .log = log,
                                           .handler = std::move(handler),
                                           .console = std::move(console),
                                           .acceptor = asio::local::stream_protocol::acceptor(executor)})) {}

SocketServer::~SocketServer() { stop(); }

void SocketServer::start(mode_t socketMode) {
  State& state = *state_;
  const auto parent = state.path.parent_path();
  if (!parent.empty()) FileStore(::getuid()).ensureDirectory(parent, 0755);
  ::unlink(state.path.c_str());

  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw FrameError::connect(errno);
  auto fail = [fd](int code) {
    ::close(fd);
    return FrameError::connect(code);
  };
  const auto address = IO::sockaddr(state.path.string());
  if (!address) throw fail(IO::pathTooLong);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0) {
    throw fail(errno);
  }
  ::chmod(state.path.c_str(), socketMode);
  if (::listen(fd, backlog) != 0) throw fail(errno);

  asio::error_code error;
  state.acceptor.assign(asio::local::stream_protocol(), fd, error);
  if (error) throw fail(error.value());
  state.started = true;
  asio::co_spawn(state.executor, acceptLoop(state_), asio::detached);
}

void SocketServer::stop() {
  State& state = *state_;
  if (!state.started) return;
  state.started = false;
  asio::error_code ignored;
  state.acceptor.close(ignored);
  ::unlink(state.path.c_str());
}

bool SocketServer::isBadRequest(const AppRequest& request) {
  if (const auto* setCheckIn = std::get_if<AppRequests::SetCheckIn>(&request.value)) {
    return setCheckIn->minutes < -100'000 || setCheckIn->minutes > 100'000;
  }
  if (const auto* wakeNow = std::get_if<AppRequests::WakeNow>(&request.value)) {
    return wakeNow->hours < -1'000 || wakeNow->hours > 1'000;
  }
  if (const auto* cancel = std::get_if<AppRequests::CancelPairing>(&request.value)) {
    return !Envelope::isValidKeyID(cancel->kid);
  }
  if (const auto* remove = std::get_if<AppRequests::RemoveDevice>(&request.value)) {
    return !Envelope::isValidKeyID(remove->kid);
  }
  return false;
}

}  // namespace torvo
