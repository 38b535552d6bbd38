// Channels join the sealed envelope to the relay client for one side of the conversation.
// The computer's side (MacChannel) seals one envelope per paired phone for each state report or
// acknowledgement and opens inbound envelopes by the phones' key ids; the phone's side
// (PhoneChannel) seals commands and configuration changes with its one pairing key and opens
// what the computer sends. Records that travel the wrong way are dropped when received;
// sending one is a programming error and aborts.
// Plain values: each call is blocking on the calling thread (stoppable through its HttpCancel)
// and works on the channel's own copy of the devices; copies may be used from several threads.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kit/envelope.h"
#include "kit/messages.h"
#include "kit/ntfy_client.h"
#include "kit/pairing.h"
#include "model/model.h"

namespace torvo {

// One opened inbound message with its key id and the relay event it came in.
struct Received {
  Message message;
  std::string kid;
  std::string ntfyID;
  std::int64_t ntfyTime = 0;

  bool operator==(const Received&) const = default;
};

// An event sequence read through a transform: every event the transform turns into a record
// is handed on, the others are skipped. Ends when the source ends and rethrows its error.
// For one consumer thread; `cancel()` may be called from any thread.
class ReceivedStream {
 public:
  using Transform = std::function<std::optional<Received>(const NtfyEvent&)>;

  ReceivedStream(std::unique_ptr<NtfyStream> source, Transform transform)
      : source_(std::move(source)), transform_(std::move(transform)) {}

  // The next record, waiting for it; nothing once the source has ended.
  std::optional<Received> next();
  void cancel() { source_->cancel(); }

 private:
  std::unique_ptr<NtfyStream> source_;
  Transform transform_;
};

// Wraps `source` so that only the events `transform` keeps come out.
std::unique_ptr<ReceivedStream> filtered(std::unique_ptr<NtfyStream> source,
                                         ReceivedStream::Transform transform);

class MacChannel {
 public:
  MacChannel(std::string relay, std::string topic, std::vector<PairedDevice> devices,
             std::shared_ptr<const HttpSession> session);

  // One envelope per device, in device order; the first sealing error fails the whole call.
  // `message` must be a state report or an acknowledgement.
  std::expected<std::vector<std::string>, EnvelopeError> sealForAll(const Message& message) const;
  // Seals for every device and publishes each text in turn; throws the first relay failure
  // (NtfyError, TransportError) or an EnvelopeError sealing failure.
  void send(const Message& message, const HttpCancel& cancel = {}) const;
  // Seals for the first device with `kid` and publishes once; no such device: nothing happens.
  void send(const Message& message, std::string_view kid, const HttpCancel& cancel = {}) const;
  // The phone-to-computer messages published since `since`; relay failures throw.
  std::vector<Received> receive(const NtfySince& since, const HttpCancel& cancel = {}) const;
  std::optional<Received> open(const NtfyEvent& event) const;

  const NtfyClient& client() const { return client_; }

 private:
  NtfyClient client_;
  std::vector<PairedDevice> devices_;
};

class PhoneChannel {
 public:
  PhoneChannel(Pairing pairing, std::shared_ptr<const HttpSession> session);

  // Seals with the pairing's key and publishes; returns the relay's event id, if it gave one.
  // `message` must be a command or a configuration change. Relay failures throw.
  std::optional<std::string> send(const Message& message, const HttpCancel& cancel = {}) const;
  // The computer-to-phone messages published since `since`; relay failures throw.
  std::vector<Received> receive(const NtfySince& since, const HttpCancel& cancel = {}) const;
  std::optional<Received> open(const NtfyEvent& event) const;
  // Follows the topic from `since` (or from now), handing on the computer's messages.
  std::unique_ptr<ReceivedStream> stream(std::optional<NtfySince> since) const;

  const Pairing& pairing() const { return pairing_; }

 private:
  Pairing pairing_;
  NtfyClient client_;
};

}  // namespace torvo
