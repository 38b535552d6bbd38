// protocol_vectors: the computer's side of the protocol as a helper for the web phone's unit
// test, so the same texts are checked by both implementations.
//   protocol_vectors make         prints one JSON object: a key and key id, envelopes the kit
//                                 sealed (with their plaintexts), pairing links and record
//                                 texts each with the kit's reading of them
//   protocol_vectors open KEY KID reads envelope lines on standard input (KEY in Base64URL)
//                                 and prints, per line, "ok " + the opened record's JSON text
//                                 or "error " + why it did not open
#include <iostream>
#include <string>
#include <variant>

#include <nlohmann/json.hpp>

#include "kit/base64.h"
#include "kit/crypto.h"
#include "kit/envelope.h"
#include "kit/pairing.h"

namespace {

using nlohmann::json;
using namespace torvo;

std::string describe(const MessageDecodeError& error) {
  if (const auto* e = std::get_if<MessageError>(&error)) {
    switch (e->kind) {
      case MessageError::Kind::unsupportedVersion: return "unsupportedVersion " + std::to_string(e->version);
      case MessageError::Kind::unknownType: return "unknownType " + e->text;
      case MessageError::Kind::outOfBounds: return "outOfBounds " + e->text;
    }
  }
  return "json";
}

std::string describe(const OpenMessageError& error) {
  if (const auto* e = std::get_if<EnvelopeError>(&error)) {
    switch (*e) {
      case EnvelopeError::notProtocolMessage: return "notProtocolMessage";
      case EnvelopeError::tooLarge: return "tooLarge";
      case EnvelopeError::malformed: return "malformed";
      case EnvelopeError::unknownKey: return "unknownKey";
      case EnvelopeError::cannotDecrypt: return "cannotDecrypt";
    }
  }
  if (const auto* e = std::get_if<MessageError>(&error)) return describe(MessageDecodeError(*e));
  return "json";
}

json pairingResult(const std::string& link) {
  const auto parsed = Pairing::fromString(link);
  if (parsed) {
    return {{"relay", parsed->relay}, {"topic", parsed->topic}, {"keyID", parsed->keyID},
            {"key", Base64URL::encode(parsed->keyData)}, {"macName", parsed->macName}};
  }
  static const char* kinds[] = {"unsupportedVersion", "missing", "invalid", "notPairingURL"};
  return {{"error", kinds[static_cast<int>(parsed.error().kind)]}, {"item", parsed.error().text}};
}

json recordResult(const std::string& text) {
  const auto decoded = Message::decode(text);
  if (!decoded) return {{"error", describe(decoded.error())}};
  return {{"json", decoded->jsonText()}};
}

int make() {
  const Bytes key = Crypto::randomBytes(Crypto::keyBytes);
  const std::string kid = Pairing::randomString(Envelope::keyIDLength);
  MacState state;
  state.state = PowerState::awake;
  state.awakeUntil = 1'700'007'200;
  state.battery = 87;
  state.onCharger = true;
  state.lastCheckIn = 1'700'000'000;
  state.nextCheckIn = 1'700'000'900;
  state.mac = "Anna's desk / 🖥️ café";
  state.tz = "Europe/Berlin";
  state.config = AgentConfig(30, 3);
  state.id = Crypto::randomUUID();
  state.ts = 1'700'000'000;
  const Message records[] = {
      state,
      Ack{"phone-1", true, "Awake until 14:30", Crypto::randomUUID(), 1'700'000'001},
      Ack{"phone-2", false, std::nullopt, Crypto::randomUUID(), 1'700'000'002},
      Command{CommandKind::wake, 2, "wrong-way", 1'700'000'003, "phone"},
  };
  const std::array<std::uint8_t, 12> nonce{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  json sealed = json::array();
  for (const auto& record : records) {
    const auto text = Envelope::seal(record.jsonData(), key, kid, nonce);
    sealed.push_back({{"text", text.value()}, {"plaintext", record.jsonText()}});
  }

  Pairing generated = Pairing::generate("https://relay.example:8443/base/", Pairing::randomTopic(), "Anna's Mac mini ü");
  const std::string link = generated.url().value();
  const std::string prefix = "torvo://pair?v=1&r=http%3A%2F%2F127.0.0.1%3A8080&t=" + generated.topic + "&i=" + generated.keyID +
                             "&k=" + Base64URL::encode(generated.keyData);
  const std::string links[] = {
      link,
      "  " + link + "\n",
      prefix,
      prefix + "&n=",
      prefix + "&n=" + std::string(65, 'x'),
      prefix + "&n=%E2%82",
      "TORVO://PAIR?v=1&r=http%3A%2F%2Fh&t=" + generated.topic + "&i=" + generated.keyID + "&k=" + Base64URL::encode(generated.keyData),
      "https://pair?v=1",
      "torvo://pair?r=x",
      "torvo://pair?v=2",
      "torvo://pair?v=1&r=",
      "torvo://pair?v=1&r=ftp%3A%2F%2Fh",
      "torvo://pair?v=1&r=http%3A%2F%2Fh&t=rr-abc",
      "torvo://pair?v=1&r=http%3A%2F%2Fh&t=" + generated.topic + "&t=bad&i=ABCDEFGHIJ",
      prefix.substr(0, prefix.size() - 1),
      prefix + "=",
      "torvo://pair?v=1 &r=x",
      "torvo://pair?v=1&n=" + std::string(1020, 'x'),
  };
  json pairings = json::array();
  for (const auto& text : links) pairings.push_back({{"link", text}, {"result", pairingResult(text)}});

  const std::string id64(64, 'i');
  const std::string accents64 = [] {
    std::string s;
    for (int i = 0; i < 64; ++i) s += "e\xCC\x81";  // e + combining acute: one character each
    return s;
  }();
  const std::string texts[] = {
      R"({"v":2,"type":"state","id":"s1","ts":5,"state":"asleep","lastCheckIn":4,"config":{}})",
      R"({"v":2,"type":"state","id":"s1","ts":5,"state":"awake","lastCheckIn":4,"battery":100,"config":{"checkIn":45,"awakeHoursDefault":30},"extra":[1]})",
      R"({"v":2,"type":"state","id":"s1","ts":5,"state":"awake","lastCheckIn":4,"battery":101,"config":{}})",
      R"({"v":2,"type":"state","id":"s1","ts":5,"state":"awake","lastCheckIn":4,"battery":-1,"config":{}})",
      R"({"v":2,"type":"state","id":"s1","ts":5,"state":"dozing","lastCheckIn":4,"config":{}})",
      R"({"v":2,"type":"state","id":"s1","ts":5,"state":"awake","lastCheckIn":4})",
      R"({"v":2,"type":"state","id":"s1","ts":5,"state":"awake","lastCheckIn":4,"config":{"checkIn":"15"}})",
      R"({"v":2,"type":"state","id":"s1","ts":5,"state":"awake","lastCheckIn":4.0,"battery":null,"config":{}})",
      R"({"v":2,"type":"state","id":"s1","ts":5,"state":"awake","lastCheckIn":4.5,"config":{}})",
      R"({"v":2,"type":"ack","id":"a1","ts":1,"for":"x","ok":true,"note":")" + std::string(200, 'n') + R"("})",
      R"({"v":2,"type":"ack","id":"a1","ts":1,"for":"x","ok":true,"note":")" + std::string(201, 'n') + R"("})",
      R"({"v":2,"type":"ack","id":"a1","ts":1,"for":"","ok":true})",
      R"({"v":2,"type":"ack","id":"a1","ts":1,"for":"x"})",
      R"({"v":2,"type":"ack","id":")" + id64 + R"(","ts":1,"for":"x","ok":false})",
      R"({"v":2,"type":"ack","id":")" + id64 + R"(i","ts":1,"for":"x","ok":false})",
      R"({"v":2,"type":"ack","id":")" + accents64 + R"(","ts":1,"for":"x","ok":false})",
      R"({"v":2,"type":"status","id":"c1","ts":1,"hours":5,"from":"a/b"})",
      R"({"v":2,"type":"wake","id":"c1","ts":1,"from":"ph"})",
      R"({"v":2,"type":"config","id":"c1","ts":1,"checkIn":60})",
      R"({"v":2,"type":"Wake","id":"","ts":1})",
      R"({"v":2,"type":"Wake","id":"x","ts":1})",
      R"({"v":2,"type":"ack","id":"x","ts":0,"for":"x","ok":true})",
      R"({"v":1,"type":"ack"})",
      R"({"v":3})",
      R"({"type":"ack"})",
      R"([1,2])",
      "not json",
  };
  json decoded = json::array();
  for (const auto& text : texts) decoded.push_back({{"text", text}, {"result", recordResult(text)}});

  std::cout << json{{"key", Base64URL::encode(key)}, {"kid", kid}, {"sealed", sealed},
                    {"pairings", pairings}, {"records", decoded}}
                   .dump()
            << "\n";
  return 0;
}

int openLines(const std::string& keyText, const std::string& kid) {
  const auto key = Base64URL::decode(keyText);
  if (!key) {
    std::cerr << "protocol_vectors: the key is not Base64URL\n";
    return 2;
  }
  std::string line;
  while (std::getline(std::cin, line)) {
    const auto opened = Envelope::openMessage(line, *key, kid);
    std::cout << (opened ? "ok " + opened->jsonText() : "error " + describe(opened.error())) << "\n";
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "make" && argc == 2) return make();
  if (mode == "open" && argc == 4) return openLines(argv[2], argv[3]);
  std::cerr << "usage: protocol_vectors make | open KEY KID\n";
  return 2;
}
