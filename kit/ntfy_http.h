// The HTTP layer under the relay client: one libcurl transfer at a time per call, run on the
// calling thread, stoppable from any other thread through an `HttpCancel`. An `HttpSession`
// holds what every request of one relay shares: the settings (no cookies, no response cache,
// nothing written to disk; up to five redirects followed, to http and https only, a POST
// staying a POST with its body) and a few idle libcurl handles that keep their connections,
// TLS sessions and name lookups open, so the requests of a check-in and of the next ones
// reuse one connection instead of opening one each.
// `HttpSession` is safe to use from many threads at once (each transfer takes a handle of its own);
// each `HttpCancel` belongs to one transfer at a time.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace torvo {

// A failure below HTTP: the relay could not be reached or the transfer broke off. Thrown to the
// caller as it is; `kind` says what failed, `what()` carries libcurl's description.
class TransportError : public std::runtime_error {
 public:
  enum class Kind { cannotConnect, timedOut, cancelled, tls, tooLarge, failed };

  TransportError(Kind kind, const std::string& detail) : std::runtime_error(detail), kind_(kind) {}
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

// Stops a running transfer from another thread. A transfer started after `cancel()` fails at
// once. Thread-safe.
class HttpCancel {
 public:
  HttpCancel() = default;
  HttpCancel(const HttpCancel&) = delete;
  HttpCancel& operator=(const HttpCancel&) = delete;

  void cancel();
  bool cancelled() const;

  // Used by the transfer loop: registers its libcurl multi handle so that `cancel()` wakes its
  // wait at once (false when already cancelled), and removes it when the transfer ends.
  bool attach(void* multi) const;
  void detach() const;

 private:
  mutable std::mutex mutex_;
  bool cancelled_ = false;
  mutable void* multi_ = nullptr;
};

struct HttpRequest {
  std::string method = "GET";
  std::string url;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  // Longest time for the whole exchange; 0 for none.
  std::int64_t timeoutSeconds = 0;
  // Longest time without a received byte (streams); 0 for none.
  std::int64_t idleSeconds = 0;
};

struct HttpResponse {
  int status = 0;
  // Header names in lower case, in the order received.
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;

  // The first header of that name, looked up without regard to case.
  std::optional<std::string> header(std::string_view name) const;
};

class HttpSession {
 public:
  // Answers with longer bodies fail with `TransportError::Kind::tooLarge`.
  static constexpr std::size_t maxBody = 8 * 1024 * 1024;

  HttpSession();
  HttpSession(const HttpSession&) = delete;
  HttpSession& operator=(const HttpSession&) = delete;
  ~HttpSession();

  // Sends `request` and returns the answer. The body is read only for a 2xx status and only
  // when `readBody` is set; otherwise the transfer stops once the headers are in.
  // Throws TransportError.
  HttpResponse send(const HttpRequest& request, const HttpCancel& cancel,
                    bool readBody = true) const;

  // Sends `request` and hands each piece of a 2xx body to `onData` as it arrives, until the
  // body ends. Returns the status; a status outside 200 to 299 returns before any body is read.
  // Throws TransportError, and whatever `onData` throws.
  int stream(const HttpRequest& request, const HttpCancel& cancel,
             const std::function<void(std::string_view)>& onData) const;

  // How many new connections the session's transfers have opened so far (reused ones do not
  // count), for diagnostics and benchmarks.
  std::uint64_t connectionsOpened() const { return connectionsOpened_.load(); }

 private:
  struct Handles;
  HttpResponse run(const HttpRequest& request, const HttpCancel& cancel, bool readBody,
                   const std::function<void(std::string_view)>* onData) const;

  std::unique_ptr<Handles> idle_;
  mutable std::atomic<std::uint64_t> connectionsOpened_{0};
};

}  // namespace torvo
