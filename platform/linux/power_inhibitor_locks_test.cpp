#include "platform/linux/power_inhibitor_locks.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace torvo {
namespace {

using namespace std::chrono_literals;

// A pipe whose write end stands for an inhibitor descriptor: the read end sees the end of
// the stream once every copy of the write end is closed.
struct Lock {
  int readEnd = -1;
  int writeEnd = -1;
  Lock() {
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    readEnd = fds[0];
    writeEnd = fds[1];
  }
  ~Lock() { ::close(readEnd); }
  // True when the write end has been closed within `wait`.
  bool closedWithin(std::chrono::milliseconds wait) const {
    pollfd p{readEnd, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(wait.count())) == 1 && (p.revents & POLLHUP) != 0;
  }
};

TEST(InhibitorLocks, ReleaseClosesTheDescriptorOnce) {
  InhibitorLocks locks;
  Lock first;
  Lock second;
  const AssertionID a = locks.add(first.writeEnd, std::nullopt);
  const AssertionID b = locks.add(second.writeEnd, std::nullopt);
  EXPECT_NE(a, 0u);
  EXPECT_NE(a, b);
  EXPECT_EQ(locks.count(), 2u);

  locks.release(a);
  EXPECT_TRUE(first.closedWithin(0ms));
  EXPECT_FALSE(second.closedWithin(0ms));
  locks.release(a);
  locks.release(9999);
  EXPECT_EQ(locks.count(), 1u);
  EXPECT_FALSE(second.closedWithin(0ms));
}

TEST(InhibitorLocks, ATimeLimitReleasesTheLockOnItsOwn) {
  InhibitorLocks locks;
  Lock later;
  Lock soon;
  Lock untimed;
  locks.add(later.writeEnd, 1h);
  const AssertionID id = locks.add(soon.writeEnd, 50ms);
  locks.add(untimed.writeEnd, std::nullopt);

  EXPECT_TRUE(soon.closedWithin(10s)) << "a shorter limit added later must still be kept";
  EXPECT_FALSE(later.closedWithin(0ms));
  EXPECT_FALSE(untimed.closedWithin(0ms));
  EXPECT_EQ(locks.count(), 2u);
  locks.release(id);  // already gone: harmless
  EXPECT_EQ(locks.count(), 2u);
}

TEST(InhibitorLocks, EverythingHeldIsClosedWhenTheyGoAway) {
  Lock timed;
  Lock untimed;
  {
    InhibitorLocks locks;
    locks.add(timed.writeEnd, 1h);
    locks.add(untimed.writeEnd, std::nullopt);
  }
  EXPECT_TRUE(timed.closedWithin(0ms));
  EXPECT_TRUE(untimed.closedWithin(0ms));
}

}  // namespace
}  // namespace torvo
