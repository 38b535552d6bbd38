#include "model/channels.h"

#include <cstdlib>

#include "kit/crypto.h"

namespace torvo {
namespace {

// Sending a record the wrong way is a programming error of the caller.
void requireDirection(const Message& message, bool phoneToMac) {
  if (message.isPhoneToMac() != phoneToMac) std::abort();
}

}  // namespace

std::optional<Received> ReceivedStream::next() {
  while (auto event = source_->next()) {
    if (auto received = transform_(*event)) return received;
  }
  return std::nullopt;
}

std::unique_ptr<ReceivedStream> filtered(std::unique_ptr<NtfyStream> source,
                                         ReceivedStream::Transform transform) {
  return std::make_unique<ReceivedStream>(std::move(source), std::move(transform));
}

MacChannel::MacChannel(std::string relay, std::string topic, std::vector<PairedDevice> devices,
                       std::shared_ptr<const HttpSession> session)
    : client_(std::move(relay), std::move(topic), std::move(session)), devices_(std::move(devices)) {}

std::expected<std::vector<std::string>, EnvelopeError> MacChannel::sealForAll(
    const Message& message) const {
  requireDirection(message, false);
  std::vector<std::string> texts;
  for (const auto& device : devices_) {
    auto sealed = Envelope::seal(message, device.key(), device.kid);
    if (!sealed) return std::unexpected(sealed.error());
    texts.push_back(std::move(*sealed));
  }
  return texts;
}

void MacChannel::send(const Message& message, const HttpCancel& cancel) const {
  auto texts = sealForAll(message);
  if (!texts) throw texts.error();
  for (const auto& text : *texts) client_.publish(text, cancel);
}

void MacChannel::send(const Message& message, std::string_view kid, const HttpCancel& cancel) const {
  for (const auto& device : devices_) {
    if (device.kid != kid) continue;
    auto sealed = Envelope::seal(message, device.key(), device.kid);
    if (!sealed) throw sealed.error();
    client_.publish(*sealed, cancel);
    return;
  }
}

std::vector<Received> MacChannel::receive(const NtfySince& since, const HttpCancel& cancel) const {
  std::vector<Received> out;
  for (const auto& event : client_.poll(since, cancel)) {
    if (auto received = open(event)) out.push_back(std::move(*received));
  }
  return out;
}

std::optional<Received> MacChannel::open(const NtfyEvent& event) const {
  if (!event.message) return std::nullopt;
  auto parsed = Envelope::parse(*event.message);
  if (!parsed) return std::nullopt;
  const PairedDevice* device = nullptr;
  for (const auto& d : devices_) {
    if (d.kid == parsed->keyID) {
      device = &d;
      break;
    }
  }
  if (device == nullptr) return std::nullopt;
  auto message = Envelope::openMessage(*event.message, device->key(), device->kid);
  if (!message || !message->isPhoneToMac()) return std::nullopt;
  return Received{std::move(*message), device->kid, event.id, event.time};
}

PhoneChannel::PhoneChannel(Pairing pairing, std::shared_ptr<const HttpSession> session)
    : pairing_(std::move(pairing)), client_(pairing_.relay, pairing_.topic, std::move(session)) {}

std::optional<std::string> PhoneChannel::send(const Message& message, const HttpCancel& cancel) const {
  requireDirection(message, true);
  auto sealed = Envelope::seal(message, pairing_.key(), pairing_.keyID);
  if (!sealed) throw sealed.error();
  return client_.publish(*sealed, cancel);
}

std::vector<Received> PhoneChannel::receive(const NtfySince& since, const HttpCancel& cancel) const {
  std::vector<Received> out;
  for (const auto& event : client_.poll(since, cancel)) {
    if (auto received = open(event)) out.push_back(std::move(*received));
  }
  return out;
}

std::optional<Received> PhoneChannel::open(const NtfyEvent& event) const {
  if (!event.message) return std::nullopt;
  auto message = Envelope::openMessage(*event.message, pairing_.key(), pairing_.keyID);
  if (!message || message->isPhoneToMac()) return std::nullopt;
  return Received{std::move(*message), pairing_.keyID, event.id, event.time};
}

std::unique_ptr<ReceivedStream> PhoneChannel::stream(std::optional<NtfySince> since) const {
  return filtered(std::make_unique<NtfyStream>(client_, std::move(since)),
                  [channel = *this](const NtfyEvent& event) { return channel.open(event); });
}

}  // namespace torvo
