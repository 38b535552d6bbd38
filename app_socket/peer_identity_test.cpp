#include "app_socket/peer_identity.h"

#include <plist/plist.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include <gtest/gtest.h>

#include "app_socket/socket_io.h"
#include "tests/test_support.h"

namespace torvo {
namespace {

namespace fs = std::filesystem;

const std::string kRequirement = "identifier \"com.quorvantelix.Torvo\"";

std::string infoPlist(const std::string& identifier, bool binary) {
  plist_t dict = plist_new_dict();
  plist_dict_set_item(dict, "CFBundleIdentifier", plist_new_string(identifier.c_str()));
  char* data = nullptr;
  uint32_t size = 0;
  if (binary) {
    plist_to_bin(dict, &data, &size);
  } else {
    plist_to_xml(dict, &data, &size);
  }
  std::string bytes(data, size);
  std::free(data);
  plist_free(dict);
  return bytes;
}

// A bundle at <dir>/Torvo.app with Contents/Info.plist and Contents/MacOS/Torvo, owned by
// the user running the tests (root in CI) with modes 0755 and 0644.
struct Bundle {
  explicit Bundle(const fs::path& dir, const std::string& identifier = "com.quorvantelix.Torvo",
                  bool binary = false)
      : root(dir / "Torvo.app"), program(root / "Contents/MacOS/Torvo") {
    fs::create_directories(program.parent_path());
    std::ofstream(root / "Contents/Info.plist", std::ios::binary) << infoPlist(identifier, binary);
    std::ofstream(program) << "#!/bin/sh\n";
    ::chmod(program.c_str(), 0755);
  }
  fs::path root;
  fs::path program;
};

class PeerRequirementTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "the bundle rule needs root-owned fixtures";
  }
  test::TempDir dir_;
};

TEST_F(PeerRequirementTest, IdentifierHoldsForARootOwnedBundleWithThatIdentifier) {
  const Bundle xml(dir_ / "xml");
  const Bundle binary(dir_ / "binary", "com.quorvantelix.Torvo", true);
  EXPECT_TRUE(Peer::satisfies(xml.program, kRequirement));
  EXPECT_TRUE(Peer::satisfies(binary.program, kRequirement));
}

TEST_F(PeerRequirementTest, FailsForAnyWeakPartOrOtherText) {
  struct Case {
    const char* name;
    std::function<void(const Bundle&)> spoil;
    std::string requirement = kRequirement;
  };
  const Case cases[] = {
      {"wrong identifier",
       [](const Bundle& b) {
         std::ofstream(b.root / "Contents/Info.plist") << infoPlist("com.example.Other", false);
       }},
      {"group-writable bundle", [](const Bundle& b) { ::chmod(b.root.c_str(), 0775); }},
      {"others may write the program", [](const Bundle& b) { ::chmod(b.program.c_str(), 0757); }},
      {"program of another user",
       [](const Bundle& b) { ASSERT_EQ(::chown(b.program.c_str(), test::nobodyUID, 0), 0); }},
      {"folder of another user",
       [](const Bundle& b) {
         ASSERT_EQ(::chown(b.program.parent_path().c_str(), test::nobodyUID, 0), 0);
       }},
      {"Info.plist of another user",
       [](const Bundle& b) {
         ASSERT_EQ(::chown((b.root / "Contents/Info.plist").c_str(), test::nobodyUID, 0), 0);
       }},
      {"identifier with a NUL byte (must not end the process)",
       [](const Bundle& b) {
         static constexpr char plist[] =
             "bplist00\xd1\x01\x02_\x10\x12" "CFBundleIdentifier_\x10\x10" "com.example\0evil\x08\x0b "
             "\0\0\0\0\0\0\x01\x01\0\0\0\0\0\0\0\x03\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\x33";
         std::ofstream(b.root / "Contents/Info.plist", std::ios::binary)
             .write(plist, sizeof plist - 1);
       }},
      {"not a property list",
       [](const Bundle& b) { std::ofstream(b.root / "Contents/Info.plist") << "{"; }},
      {"signature requirement", [](const Bundle&) {},
       "anchor apple generic and identifier \"com.quorvantelix.Torvo\" and certificate "
       "leaf[subject.OU] = \"Q4TZWK27RM\""},
      {"identifier with trailing text", [](const Bundle&) {}, kRequirement + " and x"},
  };
  int index = 0;
  for (const auto& c : cases) {
    const Bundle bundle(dir_ / std::to_string(index++));
    c.spoil(bundle);
    EXPECT_FALSE(Peer::satisfies(bundle.program, c.requirement)) << c.name;
  }
  std::ofstream(dir_ / "loose") << "x";
  EXPECT_FALSE(Peer::satisfies(dir_ / "loose", kRequirement)) << "no bundle";
}

TEST(PeerBundleTest, NearestEnclosingAppFolder) {
  EXPECT_EQ(Peer::enclosingBundle("/A/Torvo.app/Contents/Helpers/Helper.app/Contents/MacOS/h"),
            fs::path("/A/Torvo.app/Contents/Helpers/Helper.app"));
  EXPECT_EQ(Peer::enclosingBundle("/opt/Torvo.app/torvo"), fs::path("/opt/Torvo.app"));
  EXPECT_EQ(Peer::enclosingBundle("/usr/bin/torvo"), std::nullopt);
  EXPECT_EQ(Peer::enclosingBundle("/usr/bin/Torvo.app"), std::nullopt);
}

TEST(PeerIdentifyTest, SeesThisProcess) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  const auto identity = Peer::identify(fds[0], std::nullopt);
  const auto withRequirement = Peer::identify(fds[0], kRequirement);
  ::close(fds[0]);
  ::close(fds[1]);
  ASSERT_TRUE(identity);
  EXPECT_EQ(identity->uid, ::geteuid());
  EXPECT_EQ(identity->pid, ::getpid());
  EXPECT_EQ(identity->path, fs::read_symlink("/proc/self/exe").string());
  EXPECT_TRUE(identity->signatureOK);
  ASSERT_TRUE(withRequirement);
  EXPECT_FALSE(withRequirement->signatureOK);
  EXPECT_EQ(Peer::identify(-1, std::nullopt), std::nullopt);
}

TEST(PeerIdentifyTest, SeesAnotherUsersProcess) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a child as another user";
  test::TempDir dir;
  ::chmod(dir.path().c_str(), 0755);
  const auto path = (dir / "peer.sock").string();
  const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  const auto address = IO::sockaddr(path);
  ASSERT_TRUE(address);
  ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&*address), sizeof *address), 0);
  ::chmod(path.c_str(), 0666);
  ASSERT_EQ(::listen(listener, 1), 0);

  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::setgid(test::nobodyGID) != 0 || ::setuid(test::nobodyUID) != 0) ::_exit(2);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0) {
      ::_exit(3);
    }
    char byte = 0;
    ::_exit(::read(fd, &byte, 1) >= 0 ? 0 : 4);
  }
  const int connection = ::accept(listener, nullptr, nullptr);
  const auto identity = Peer::identify(connection, std::nullopt);
  ::close(connection);
  ::close(listener);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  ASSERT_TRUE(identity);
  EXPECT_EQ(identity->uid, test::nobodyUID);
  EXPECT_EQ(identity->pid, child);
  EXPECT_EQ(identity->path, fs::read_symlink("/proc/self/exe").string());
}

}  // namespace
}  // namespace torvo
