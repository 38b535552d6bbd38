#include "kit/ntfy_client.h"

#include <algorithm>
#include <utility>

namespace torvo {
namespace {

void requireSuccess(int status) {
  if (status < 200 || status > 299) throw NtfyError::http(status);
}

}  // namespace

NtfyClient::NtfyClient(std::string relay, std::string topic,
                       std::shared_ptr<const HttpSession> session)
    : relay_(std::move(relay)), topic_(std::move(topic)), session_(std::move(session)) {}

NtfyClient::NtfyClient(const Pairing& pairing, std::shared_ptr<const HttpSession> session)
    : NtfyClient(pairing.relay, pairing.topic, std::move(session)) {}

std::optional<std::string> NtfyClient::publish(std::string_view text,
                                               const HttpCancel& cancel) const {
  HttpRequest request;
  request.method = "POST";
  request.url = topicURL();
  request.headers = {{"Content-Type", "text/plain; charset=utf-8"}};
  request.body = std::string(text);
  request.timeoutSeconds = publishTimeout;
  const auto response = session_->send(request, cancel);
  requireSuccess(response.status);
  const auto event = Ntfy::parse(Ntfy::repairUTF8(response.body));
  if (!event) return std::nullopt;
  return event->id;
}

std::vector<NtfyEvent> NtfyClient::poll(const NtfySince& since, const HttpCancel& cancel) const {
  HttpRequest request;
  request.url = pollURL(since);
  request.timeoutSeconds = pollTimeout;
  const auto response = session_->send(request, cancel);
  requireSuccess(response.status);
  auto events = Ntfy::parseLines(Ntfy::repairUTF8(response.body));
  std::erase_if(events, [](const NtfyEvent& event) { return !event.isMessage(); });
  return events;
}

void NtfyClient::stream(const std::optional<NtfySince>& since, const HttpCancel& cancel,
                        const std::function<void(NtfyEvent)>& onEvent) const {
  HttpRequest request;
  request.url = streamURL(since);
  request.idleSeconds = streamIdleTimeout;
  std::string pending;
  const auto deliver = [&](std::string_view lines) {
    for (auto& event : Ntfy::parseLines(Ntfy::repairUTF8(lines))) {
      if (event.isMessage()) onEvent(std::move(event));
    }
  };
  const int status = session_->stream(request, cancel, [&](std::string_view piece) {
    pending.append(piece);
    const auto end = pending.rfind('\n');
    if (end != std::string::npos) {
      deliver(std::string_view(pending).substr(0, end + 1));
      pending.erase(0, end + 1);
    } else if (pending.size() > HttpSession::maxBody) {
      throw TransportError(TransportError::Kind::tooLarge, "a stream line is larger than 8 MiB");
    }
  });
  requireSuccess(status);
  deliver(pending);
}

NtfyStream::NtfyStream(NtfyClient client, std::optional<NtfySince> since) {
  reader_ = std::thread([this, client = std::move(client), since = std::move(since)] {
    std::exception_ptr error;
    try {
      client.stream(since, cancel_, [this](NtfyEvent event) {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
        changed_.notify_all();
      });
    } catch (...) {
      error = std::current_exception();
    }
    std::lock_guard lock(mutex_);
    ended_ = true;
    error_ = error;
    changed_.notify_all();
  });
}

NtfyStream::~NtfyStream() {
  cancel_.cancel();
  reader_.join();
}

std::optional<NtfyEvent> NtfyStream::next() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return !events_.empty() || ended_; });
  if (!events_.empty()) {
    auto event = std::move(events_.front());
    events_.pop_front();
    return event;
  }
  if (error_) std::rethrow_exception(error_);
  return std::nullopt;
}

void NtfyStream::cancel() { cancel_.cancel(); }

}  // namespace torvo
