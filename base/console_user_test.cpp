#include "base/console_user.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

namespace torvo {
namespace {

// The console user comes from the seat and session records that sd-login reads. The test
// writes them only where no seat0 record exists, and removes them afterwards.
TEST(ConsoleUserTest, IsTheActiveSessionUnlessItIsTheLoginScreen) {
  const std::filesystem::path seat = "/run/systemd/seats/seat0";
  const std::filesystem::path sessions = "/run/systemd/sessions";
  if (::geteuid() != 0 || std::filesystem::exists(seat) ||
      !std::filesystem::is_directory(seat.parent_path()) || !std::filesystem::is_directory(sessions)) {
    GTEST_SKIP() << "needs root and a machine without a seat0 record";
  }
  const std::string id = "torvotest" + std::to_string(::getpid());
  const auto session = sessions / id;
  auto write = [](const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path) << text;
  };
  write(seat, "ACTIVE=" + id + "\nACTIVE_UID=1234\n");
  write(session, "UID=1234\nCLASS=user\n");
  const auto user = consoleUID();
  write(session, "UID=1234\nCLASS=greeter\n");
  const auto greeter = consoleUID();
  std::filesystem::remove(seat);
  const auto noSeat = consoleUID();
  std::filesystem::remove(session);

  EXPECT_EQ(user, 1234u);
  EXPECT_EQ(greeter, std::nullopt);
  EXPECT_EQ(noSeat, std::nullopt);
}

}  // namespace
}  // namespace torvo
