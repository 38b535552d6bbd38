#include "app_socket/peer_identity.h"

#include <plist/plist.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>

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

// A child that, in order, connects to the socket at `socketPath` (when given), runs `prepare`
// and replaces itself with `program`, passing it "30" (so a copy of sleep waits that long).
// Killed and reaped when the value goes away, unless `end` did so before.
class ProgramChild {
 public:
  explicit ProgramChild(const fs::path& program, const std::optional<fs::path>& socketPath = {},
                        const std::function<bool()>& prepare = {}) {
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    pid = ::fork();
    if (pid == 0) {
      ::close(fds[0]);
      const auto fail = [&](char step) {
        (void)!::write(fds[1], &step, 1);
        ::_exit(1);
      };
      if (socketPath) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        const auto address = IO::sockaddr(socketPath->string());
        if (!address ||
            ::connect(fd, reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0) {
          fail('c');
        }
      }
      if (prepare && !prepare()) fail('p');
      const char* argv[] = {program.c_str(), "30", nullptr};
      ::execv(program.c_str(), const_cast<char**>(argv));
      fail('x');
    }
    ::close(fds[1]);
    status_ = fds[0];
  }
  ProgramChild(const ProgramChild&) = delete;
  ProgramChild& operator=(const ProgramChild&) = delete;
  ~ProgramChild() {
    end();
    ::close(status_);
  }

  // Waits until the child runs `program`: 0, or the step that failed ('c' connect,
  // 'p' prepare, 'x' exec).
  char started() const {
    char step = 0;
    return ::read(status_, &step, 1) == 1 ? step : 0;
  }

  void end() {
    if (pid <= 0) return;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    pid = -1;
  }

  pid_t pid = -1;

 private:
  int status_ = -1;
};

// A copy of sleep at `path`, a program that stays up for as long as a test needs.
void copySleep(const fs::path& path) {
  fs::copy_file("/bin/sleep", path, fs::copy_options::overwrite_existing);
  ::chmod(path.c_str(), 0755);
}

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
  std::optional<std::uint32_t> askedFor;
  const auto userRefused = Peer::identify(fds[0], std::nullopt, [&](std::uint32_t uid) {
    askedFor = uid;
    return false;
  });
  ::close(fds[0]);
  ::close(fds[1]);
  // A user not wanted: the program is not looked at.
  EXPECT_EQ(askedFor, ::geteuid());
  EXPECT_EQ(userRefused, (PeerIdentity{.uid = ::geteuid(), .pid = ::getpid()}));
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

// The program is what the process runs, not merely what its path names now: a file mounted
// over the program's path in another mount namespace (where the path the kernel reports still
// reads as the bundle's program) and a program file replaced since the process started both
// leave the peer without a path and failing the requirement.
TEST_F(PeerRequirementTest, TheRunningImageMustBeTheBundlesProgram) {
  struct Case {
    const char* name;
    std::function<bool(const Bundle&)> inChild;    // before it runs the bundle's program
    std::function<void(const Bundle&)> afterStart;  // once it runs
    bool identified;
  };
  const Case cases[] = {
      {"the bundle's program", {}, {}, true},
      {"another file mounted over the program's path",
       [](const Bundle& b) {
         return ::unshare(CLONE_NEWNS) == 0 &&
                ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                ::mount((b.root.parent_path() / "other").c_str(), b.program.c_str(), nullptr,
                        MS_BIND, nullptr) == 0;
       },
       {}, false},
      {"the program replaced after it started", {},
       [](const Bundle& b) {
         copySleep(b.root.parent_path() / "other");
         fs::rename(b.root.parent_path() / "other", b.program);
       },
       false},
  };
  int index = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path dir = dir_ / std::to_string(index++);
    const Bundle bundle(dir);
    copySleep(bundle.program);
    copySleep(dir / "other");
    const auto socketPath = dir / "peer.sock";
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const auto address = IO::sockaddr(socketPath.string());
    ASSERT_TRUE(address);
    ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&*address), sizeof *address), 0);
    ASSERT_EQ(::listen(listener, 1), 0);

    ProgramChild child(bundle.program, socketPath,
                       c.inChild ? std::function<bool()>([&] { return c.inChild(bundle); })
                                 : std::function<bool()>());
    const char failed = child.started();
    if (failed == 'p') {
      ::close(listener);
      GTEST_SKIP() << "no private mount namespace here";
    }
    ASSERT_EQ(failed, 0);
    if (c.afterStart) c.afterStart(bundle);
    const int connection = ::accept(listener, nullptr, nullptr);
    const auto identity = Peer::identify(connection, kRequirement);
    ::close(connection);
    ::close(listener);

    ASSERT_TRUE(identity);
    EXPECT_EQ(identity->pid, child.pid);
    EXPECT_EQ(identity->signatureOK, c.identified);
    EXPECT_EQ(identity->path,
              c.identified ? std::optional<std::string>(bundle.root.string()) : std::nullopt);
  }
}

// What ends a check: the pinned process ended, or now runs another program.
TEST(PinnedProcessTest, SeesTheProcessEndOrChangeItsProgram) {
  test::TempDir dir;
  const fs::path sleep = dir / "sleep";
  copySleep(sleep);
  int go[2];
  ASSERT_EQ(::pipe2(go, O_CLOEXEC), 0);
  struct Case {
    const char* name;
    bool pinBeforeExec;
    std::function<void(ProgramChild&)> change;
    bool unchanged;
  };
  const Case cases[] = {
      {"still running", false, [](ProgramChild&) {}, true},
      {"ended, not yet reaped", false,
       [](ProgramChild& child) {
         ::kill(child.pid, SIGKILL);
         siginfo_t info{};
         ::waitid(P_PID, static_cast<id_t>(child.pid), &info, WEXITED | WNOWAIT);
       },
       false},
      {"ended and reaped", false, [](ProgramChild& child) { child.end(); }, false},
      {"ran another program", true,
       [&](ProgramChild& child) {
         ASSERT_EQ(::write(go[1], "g", 1), 1);
         ASSERT_EQ(child.started(), 0);
       },
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // The child waits for the go byte only where the test pins it before it runs sleep.
    ProgramChild child(sleep, std::nullopt, [&] {
      char byte = 0;
      return !c.pinBeforeExec || ::read(go[0], &byte, 1) == 1;
    });
    if (!c.pinBeforeExec) {
      ASSERT_EQ(child.started(), 0);
    }
    const auto pinned = Peer::PinnedProcess::pin(child.pid);
    ASSERT_TRUE(pinned);
    EXPECT_TRUE(pinned->unchanged());
    EXPECT_EQ(pinned->runs(sleep), !c.pinBeforeExec);
    EXPECT_EQ(pinned->runs("/proc/self/exe"), false) << "a link is not followed";
    c.change(child);
    EXPECT_EQ(pinned->unchanged(), c.unchanged);
  }
  ::close(go[0]);
  ::close(go[1]);
  EXPECT_EQ(Peer::PinnedProcess::pin(0), std::nullopt);
}

}  // namespace
}  // namespace torvo
