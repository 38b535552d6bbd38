#include "app_socket/frame.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "app_socket/ipc.h"
#include "app_socket/socket_io.h"

namespace torvo {
namespace {

std::string header(std::uint32_t size) {
  return {static_cast<char>(size >> 24), static_cast<char>(size >> 16),
          static_cast<char>(size >> 8), static_cast<char>(size)};
}

// A JSON string value whose compact encoding is exactly `bytes` long.
nlohmann::json jsonOfSize(std::size_t bytes) { return std::string(bytes - 2, 'a'); }

TEST(FrameTest, EncodesBigEndianLengthThenCompactJSON) {
  const auto frame = Frame::encode(nlohmann::json{{"wakeNow", {{"hours", 3}}}});
  ASSERT_TRUE(frame);
  EXPECT_EQ(*frame, header(23) + R"({"wakeNow":{"hours":3}})");

  const auto largest = Frame::encode(jsonOfSize(Frame::maxBytes));
  ASSERT_TRUE(largest);
  EXPECT_EQ(largest->substr(0, 4), header(65536));
  EXPECT_EQ(largest->size(), 4 + Frame::maxBytes);

  EXPECT_EQ(Frame::encode(jsonOfSize(Frame::maxBytes + 1)),
            std::unexpected(FrameError(FrameError::Kind::tooLarge)));
}

TEST(FrameTest, TextsThatAreNotUTF8AreSentWithReplacementCharacters) {
  // A computer name read as "Caf\xE9" (Latin-1) once made every status answer unsendable.
  AgentStatus status;
  status.version = "0.1.0";
  status.macName = "Caf\xE9";
  status.devices.push_back(DeviceInfo{.kid = "kid1", .name = "Anna\xFF\xFEs phone"});
  const auto frame = Frame::encode(AppResponse{AppResponses::Status{status}}.toJSON());
  ASSERT_TRUE(frame);
  ASSERT_EQ(Frame::length(frame->substr(0, Frame::headerBytes)), frame->size() - Frame::headerBytes);

  const auto decoded =
      AppResponse::fromJSON(nlohmann::json::parse(frame->substr(Frame::headerBytes)));
  ASSERT_TRUE(decoded);
  const auto& sent = std::get<AppResponses::Status>(decoded->value).status;
  EXPECT_EQ(sent.macName, "Caf\uFFFD");
  ASSERT_EQ(sent.devices.size(), 1u);
  EXPECT_EQ(sent.devices[0].name, "Anna\uFFFD\uFFFDs phone");
}

TEST(FrameTest, LengthAcceptsFourBytesUpToTheLimit) {
  struct Case {
    std::string header;
    std::optional<std::size_t> length;
  };
  const Case cases[] = {
      {header(0), 0},
      {header(22), 22},
      {header(65536), 65536},
      {header(65537), std::nullopt},
      {header(0xFFFFFFFF), std::nullopt},
      {header(22).substr(0, 3), std::nullopt},
      {header(22) + "x", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(Frame::length(c.header), c.length);
}

TEST(FrameTest, ErrorTextIsTheCaseName) {
  EXPECT_EQ(FrameError::connect(13).text(), "connect(13)");
  EXPECT_EQ(FrameError(FrameError::Kind::tooLarge).text(), "tooLarge");
  EXPECT_EQ(FrameError(FrameError::Kind::truncated).text(), "truncated");
  EXPECT_EQ(FrameError(FrameError::Kind::timeout).text(), "timeout");
  EXPECT_EQ(FrameError(FrameError::Kind::peerRejected).text(), "peerRejected");
}

class SocketIOTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0); }
  void TearDown() override {
    for (int fd : fds_) {
      if (fd >= 0) ::close(fd);
    }
  }
  void closeWriter() {
    ::close(fds_[1]);
    fds_[1] = -1;
  }
  int fds_[2] = {-1, -1};
};

TEST_F(SocketIOTest, ReadExactlyCollectsSeveralWrites) {
  ASSERT_TRUE(IO::writeAll(fds_[1], "ab"));
  ASSERT_TRUE(IO::writeAll(fds_[1], "cde"));
  EXPECT_EQ(IO::readExactly(fds_[0], 4), "abcd");
}

TEST_F(SocketIOTest, ReadExactlyReportsAnEarlyCloseAsTruncated) {
  ASSERT_TRUE(IO::writeAll(fds_[1], "abc"));
  closeWriter();
  EXPECT_EQ(IO::readExactly(fds_[0], 4), std::unexpected(FrameError(FrameError::Kind::truncated)));
}

TEST_F(SocketIOTest, ReadExactlyReportsAnExpiredReceiveTimeout) {
  const timeval limit{.tv_sec = 0, .tv_usec = 50'000};
  ASSERT_EQ(::setsockopt(fds_[0], SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit), 0);
  EXPECT_EQ(IO::readExactly(fds_[0], 1), std::unexpected(FrameError(FrameError::Kind::timeout)));
}

TEST_F(SocketIOTest, WriteToAClosedPeerIsTruncatedWithoutSIGPIPE) {
  ::close(fds_[0]);
  fds_[0] = -1;
  EXPECT_EQ(IO::writeAll(fds_[1], "abc"), std::unexpected(FrameError(FrameError::Kind::truncated)));
}

TEST(SocketAddressTest, PathsUpTo103BytesFit) {
  const std::string fits(103, 'a');
  const auto address = IO::sockaddr(fits);
  ASSERT_TRUE(address);
  EXPECT_EQ(address->sun_family, AF_UNIX);
  EXPECT_EQ(std::string(address->sun_path), fits);
  EXPECT_FALSE(IO::sockaddr(std::string(104, 'a')));
}

}  // namespace
}  // namespace torvo
