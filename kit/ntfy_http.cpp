#include "kit/ntfy_http.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <exception>
#include <memory>
#include <mutex>
#include <vector>

namespace torvo {
namespace {

constexpr long maxRedirects = 5;

std::string lowerCase(std::string_view text) {
  std::string out(text);
  std::ranges::transform(out, out.begin(),
                         [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

std::string_view trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

// What the callbacks of one transfer share with it.
struct TransferState {
  CURL* easy = nullptr;
  bool readBody = true;
  std::size_t limit = HttpSession::maxBody;
  HttpResponse response;
  const std::function<void(std::string_view)>* onData = nullptr;
  bool stoppedOnPurpose = false;
  bool overrun = false;
  std::exception_ptr callbackError;
};

size_t onHeader(char* data, size_t size, size_t count, void* user) {
  auto& state = *static_cast<TransferState*>(user);
  const std::string_view line(data, size * count);
  if (line.starts_with("HTTP/")) {
    state.response.headers.clear();  // a new answer (after 100 Continue, for example)
  } else if (const auto colon = line.find(':'); colon != std::string_view::npos) {
    state.response.headers.emplace_back(lowerCase(trimmed(line.substr(0, colon))),
                                        std::string(trimmed(line.substr(colon + 1))));
  }
  return size * count;
}

size_t onBody(char* data, size_t size, size_t count, void* user) {
  auto& state = *static_cast<TransferState*>(user);
  const std::string_view piece(data, size * count);
  long status = 0;
  curl_easy_getinfo(state.easy, CURLINFO_RESPONSE_CODE, &status);
  if (!state.readBody || status < 200 || status > 299) {
    state.stoppedOnPurpose = true;
    return 0;
  }
  if (state.onData != nullptr) {
    try {
      (*state.onData)(piece);
    } catch (...) {
      state.callbackError = std::current_exception();
      return 0;
    }
    return piece.size();
  }
  if (state.response.body.size() + piece.size() > state.limit) {
    state.overrun = true;
    return 0;
  }
  state.response.body.append(piece);
  return piece.size();
}

TransportError::Kind kindOf(CURLcode code) {
  switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_CONNECT:
      return TransportError::Kind::cannotConnect;
    case CURLE_OPERATION_TIMEDOUT:
      return TransportError::Kind::timedOut;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
      return TransportError::Kind::tls;
    default:
      return TransportError::Kind::failed;
  }
}

struct EasyDeleter {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct ListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct MultiDeleter {
  void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};

// Runs the transfer on the handle's own multi handle so that a cancel can wake its wait at once.
CURLcode perform(CURLM* multi, CURL* easy, const HttpCancel& cancel) {
  if (curl_multi_add_handle(multi, easy) != CURLM_OK) return CURLE_OUT_OF_MEMORY;
  CURLcode result = CURLE_OK;
  if (cancel.attach(multi)) {
    while (true) {
      int running = 0;
      if (curl_multi_perform(multi, &running) != CURLM_OK) {
        result = CURLE_FAILED_INIT;
        break;
      }
      if (running == 0) {
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
          if (message->msg == CURLMSG_DONE) result = message->data.result;
        }
        break;
      }
      if (cancel.cancelled()) {
        result = CURLE_ABORTED_BY_CALLBACK;
        break;
      }
      curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
    }
    cancel.detach();
  } else {
    result = CURLE_ABORTED_BY_CALLBACK;
  }
  curl_multi_remove_handle(multi, easy);
  return result;
}

}  // namespace

void HttpCancel::cancel() {
  std::lock_guard lock(mutex_);
  cancelled_ = true;
  if (multi_ != nullptr) curl_multi_wakeup(static_cast<CURLM*>(multi_));
}

bool HttpCancel::cancelled() const {
  std::lock_guard lock(mutex_);
  return cancelled_;
}

bool HttpCancel::attach(void* multi) const {
  std::lock_guard lock(mutex_);
  if (cancelled_) return false;
  multi_ = multi;
  return true;
}

void HttpCancel::detach() const {
  std::lock_guard lock(mutex_);
  multi_ = nullptr;
}

std::optional<std::string> HttpResponse::header(std::string_view name) const {
  const auto wanted = lowerCase(name);
  for (const auto& [key, value] : headers) {
    if (key == wanted) return value;
  }
  return std::nullopt;
}

// The idle transfer handles of a session. Each is an easy handle on a multi handle of its own:
// the multi handle's cache holds the open connection between transfers, the easy handle its
// TLS session. A transfer takes one (or makes one) and gives it back when it ends, so
// concurrent transfers never share a handle; at most `keep` idle ones are kept.
struct HttpSession::Handles {
  static constexpr std::size_t keep = 4;

  struct Handle {
    std::unique_ptr<CURL, EasyDeleter> easy;
    std::unique_ptr<CURLM, MultiDeleter> multi;
  };

  std::mutex mutex;
  std::vector<Handle> idle;

  Handle take() {
    {
      std::lock_guard lock(mutex);
      if (!idle.empty()) {
        Handle handle = std::move(idle.back());
        idle.pop_back();
        curl_easy_reset(handle.easy.get());
        return handle;
      }
    }
    Handle handle{std::unique_ptr<CURL, EasyDeleter>(curl_easy_init()),
                  std::unique_ptr<CURLM, MultiDeleter>(curl_multi_init())};
    if (!handle.easy || !handle.multi) {
      throw TransportError(TransportError::Kind::failed, "libcurl could not start a transfer");
    }
    return handle;
  }

  void giveBack(Handle handle) {
    std::lock_guard lock(mutex);
    if (idle.size() < keep) idle.push_back(std::move(handle));
  }
};

HttpSession::HttpSession() : idle_(std::make_unique<Handles>()) {
  static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  if (!initialised) throw TransportError(TransportError::Kind::failed, "libcurl did not start");
}

HttpSession::~HttpSession() = default;

HttpResponse HttpSession::run(const HttpRequest& request, const HttpCancel& cancel, bool readBody,
                              const std::function<void(std::string_view)>* onData) const {
  Handles::Handle handle = idle_->take();
  TransferState state;
  state.easy = handle.easy.get();
  state.readBody = readBody;
  state.onData = onData;

  std::unique_ptr<curl_slist, ListDeleter> headers;
  const auto addHeader = [&](const std::string& line) {
    curl_slist* list = curl_slist_append(headers.get(), line.c_str());
    if (list == nullptr) throw TransportError(TransportError::Kind::failed, "out of memory");
    headers.release();
    headers.reset(list);
  };
  for (const auto& [name, value] : request.headers) addHeader(name + ": " + value);
  addHeader("Expect:");  // send bodies at once, without waiting for 100 Continue

  CURL* e = handle.easy.get();
  curl_easy_setopt(e, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  // A relay that moved (http to https, another base path) answers with a redirect, which is
  // followed a few times, to http and https only. A POST stays a POST with its body on every
  // redirect status, so a publish is never silently turned into a GET.
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(e, CURLOPT_MAXREDIRS, maxRedirects);
  curl_easy_setopt(e, CURLOPT_POSTREDIR, CURL_REDIR_POST_ALL);
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, onHeader);
  curl_easy_setopt(e, CURLOPT_HEADERDATA, &state);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, onBody);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, &state);
  if (request.method == "GET") {
    curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
  } else if (request.method != "POST") {
    // A POST is what the body below makes of the request anyway; naming it as a custom
    // method would keep that name on a redirect even where libcurl drops the body.
    curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  }
  if (request.method != "GET" || !request.body.empty()) {
    curl_easy_setopt(e, CURLOPT_POSTFIELDS, request.body.data());
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
  }
  if (request.timeoutSeconds > 0) {
    curl_easy_setopt(e, CURLOPT_TIMEOUT, static_cast<long>(request.timeoutSeconds));
  }
  if (request.idleSeconds > 0) {
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT, static_cast<long>(request.idleSeconds));
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, static_cast<long>(request.idleSeconds));
  }

  const CURLcode result = perform(handle.multi.get(), e, cancel);
  long connects = 0;
  if (curl_easy_getinfo(e, CURLINFO_NUM_CONNECTS, &connects) == CURLE_OK && connects > 0) {
    connectionsOpened_ += static_cast<std::uint64_t>(connects);
  }
  long status = 0;
  curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &status);
  // The header list dies with this call: the handle must not point at it once it is idle.
  curl_easy_setopt(e, CURLOPT_HTTPHEADER, nullptr);
  idle_->giveBack(std::move(handle));
  if (state.callbackError) std::rethrow_exception(state.callbackError);
  if (cancel.cancelled()) {
    throw TransportError(TransportError::Kind::cancelled, "the request was cancelled");
  }
  if (state.overrun) {
    throw TransportError(TransportError::Kind::tooLarge, "the answer is larger than 8 MiB");
  }
  if (result != CURLE_OK && !(result == CURLE_WRITE_ERROR && state.stoppedOnPurpose)) {
    throw TransportError(kindOf(result), curl_easy_strerror(result));
  }
  state.response.status = static_cast<int>(status);
  return std::move(state.response);
}

HttpResponse HttpSession::send(const HttpRequest& request, const HttpCancel& cancel,
                               bool readBody) const {
  return run(request, cancel, readBody, nullptr);
}

int HttpSession::stream(const HttpRequest& request, const HttpCancel& cancel,
                        const std::function<void(std::string_view)>& onData) const {
  return run(request, cancel, true, &onData).status;
}

}  // namespace torvo
