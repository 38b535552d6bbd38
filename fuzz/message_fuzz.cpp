// Decodes arbitrary bytes as a phone record. Whatever decodes must encode to a text that
// decodes to the same record, and encoding it again must give the same bytes.
#include <cstdlib>

#include "kit/messages.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace torvo;
  const auto decoded = Message::decode(ByteView(data, size));
  if (!decoded) return 0;
  const std::string text = decoded->jsonText();
  const auto again = Message::decode(text);
  if (!again || !(*again == *decoded) || again->jsonText() != text) std::abort();
  (void)decoded->typeName();
  (void)decoded->isPhoneToMac();
  return 0;
}
