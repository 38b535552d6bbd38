#include "platform/linux/autostart_items.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace torvo {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;
using namespace std::string_literals;

// Items as JSON, so that a failed comparison prints them readably.
Json asJSON(const std::vector<LoginItem>& items) {
  Json out = Json::array();
  for (const auto& item : items) out.push_back(item.toJSON());
  return out;
}

// A scratch user with an empty ~/.config and a system autostart folder beside it.
class AutostartItemsTest : public ::testing::Test {
 protected:
  fs::path userConfig() const { return dir_ / "config"; }
  fs::path systemAutostart() const { return dir_ / "xdg-autostart"; }
  fs::path userAutostart() const { return userConfig() / "autostart"; }
  fs::path userUnits() const { return userConfig() / "systemd" / "user"; }

  static void write(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
  }

  static void link(const fs::path& linkPath, const fs::path& target) {
    fs::create_directories(linkPath.parent_path());
    fs::create_symlink(target, linkPath);
  }

  Json read(Clock::time_point deadline = Clock::time_point::max()) const {
    return asJSON(AutostartItems::read({userConfig(), systemAutostart()}, deadline));
  }

  test::TempDir dir_;
};

const std::string entry = "[Desktop Entry]\nType=Application\n";

TEST_F(AutostartItemsTest, ReadsTheDesktopEntryGroupOfEachFile) {
  struct Case {
    const char* file;
    std::string text;
    std::optional<LoginItem> item;  // none: the entry is skipped
  };
  const Case cases[] = {
      {"plain.desktop", entry + "Name=Plain\nExec=/usr/bin/plain --start %U\n",
       LoginItem{"Plain", "/usr/bin/plain"}},
      {"hidden.desktop", entry + "Name=Hidden\nHidden=true\nExec=/usr/bin/h\n", std::nullopt},
      {"off.desktop", entry + "Name=Off\nX-GNOME-Autostart-enabled=false\n", std::nullopt},
      {"on.desktop", entry + "Name=On\nX-GNOME-Autostart-enabled=true\nHidden=false\n",
       LoginItem{"On"}},
      {"link.desktop", "[Desktop Entry]\nType=Link\nName=Site\nURL=https://example.org\n",
       std::nullopt},
      {"untyped.desktop", "[Desktop Entry]\nName=Untyped\nExec=untyped\n",
       LoginItem{"Untyped", "untyped"}},
      {"groups.desktop",
       "Name=Before\nHidden=true\n# Name=Comment\n\n[Desktop Entry]\r\nName[de]=Deutsch\r\n"
       "  Name = Spaced \r\nExec=/bin/e\n[Desktop Action quit]\nName=Quit\nHidden=true\n",
       LoginItem{"Spaced", "/bin/e"}},
      {"only-locale.desktop", entry + "Name[fr]=Bonjour\nName=\n", LoginItem{"only-locale"}},
      {"escaped.desktop", entry + "Name=My\\sApp\n", LoginItem{"My App"}},
      {"quoted.desktop", entry + "Exec=\"/opt/My App/run \\\\\"x\\\\\"\" --flag %U\n",
       LoginItem{"quoted", "/opt/My App/run \"x\""}},
      {"unclosed.desktop", entry + "Name=U\nExec=\"/opt/My App/run\n", LoginItem{"U"}},
      {"blank-exec.desktop", entry + "Name=B\nExec=  \n", LoginItem{"B"}},
      {"dev.zed.Zed.desktop", entry + "Name=Zed\nExec=/app/bin/zed\n",
       LoginItem{"Zed", "/app/bin/zed", "dev.zed.Zed"}},
      {"com.visualstudio.code.desktop", entry + "Name=Code\n",
       LoginItem{"Code", std::nullopt, "com.visualstudio.code"}},
      {"a..b.desktop", entry + "Name=Dots\n", LoginItem{"Dots"}},
      {"no-group.desktop", "Name=Nothing\nExec=/bin/nothing\n", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    fs::remove_all(systemAutostart());
    write(systemAutostart() / c.file, c.text);
    EXPECT_EQ(read(), asJSON(c.item ? std::vector{*c.item} : std::vector<LoginItem>{}));
  }
}

TEST_F(AutostartItemsTest, AUserEntryReplacesTheSystemEntryOfTheSameName) {
  write(systemAutostart() / "c-tracker.desktop", entry + "Name=Tracker\n");
  write(systemAutostart() / "a-agent.desktop", entry + "Name=Agent\nExec=/usr/bin/agent\n");
  write(systemAutostart() / "b-print.desktop", entry + "Name=Print applet\n");
  write(userAutostart() / "b-print.desktop", entry + "Name=Print applet\nHidden=true\n");
  write(userAutostart() / "c-tracker.desktop", entry + "Name=My tracker\nExec=/home/u/t\n");
  write(userAutostart() / "d-mine.desktop", entry + "Name=Mine\n");
  EXPECT_EQ(read(), asJSON({{"Agent", "/usr/bin/agent"}, {"My tracker", "/home/u/t"}, {"Mine"}}));
}

TEST_F(AutostartItemsTest, FilesThatAreNoReadableDesktopEntriesAreSkipped) {
  write(userAutostart() / "binary.desktop", "[Desktop Entry]\nName=B\0in"s);
  write(userAutostart() / "latin1.desktop", entry + "Name=Caf\xe9\n");
  write(userAutostart() / "huge.desktop", entry + "Name=Huge\n" + std::string(70'000, '#'));
  write(userAutostart() / "empty.desktop", "");
  fs::create_directories(userAutostart() / "folder.desktop");
  link(userAutostart() / "dangling.desktop", dir_ / "missing.desktop");
  link(userAutostart() / "loop.desktop", userAutostart() / "loop.desktop");
  ASSERT_EQ(::mkfifo((userAutostart() / "pipe.desktop").c_str(), 0600), 0);
  write(userAutostart() / ".desktop", entry + "Name=No ID\n");
  write(userAutostart() / "notes.txt", entry + "Name=Notes\n");
  write(dir_ / "shared.desktop", entry + "Name=Shared\n");
  link(userAutostart() / "shared.desktop", dir_ / "shared.desktop");
  EXPECT_EQ(read(), asJSON({{"Shared"}}));
}

TEST_F(AutostartItemsTest, ALinkShowsOnlyWhatTheFolder_sOwnerCouldRead) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files to another user";
  // The user's folder belongs to the user running the test; the linked files to nobody.
  for (const auto& [name, mode] : {std::pair{"private", 0600}, std::pair{"public", 0644}}) {
    const fs::path file = dir_ / (std::string(name) + ".desktop");
    write(file, entry + "Name=" + name + "\n");
    ASSERT_EQ(::chown(file.c_str(), test::nobodyUID, test::nobodyGID), 0);
    ASSERT_EQ(::chmod(file.c_str(), mode), 0);
    link(userAutostart() / file.filename(), file);
  }
  EXPECT_EQ(read(), asJSON({{"public"}}));
}

TEST_F(AutostartItemsTest, EnabledUserUnitsFollowTheAutostartEntriesOnceEach) {
  write(userAutostart() / "zz-last.desktop", entry + "Name=Last entry\n");
  link(userUnits() / "default.target.wants" / "syncthing.service",
       "/usr/lib/systemd/user/syncthing.service");
  link(userUnits() / "graphical-session.target.wants" / "syncthing.service",
       "/usr/lib/systemd/user/other.service");
  link(userUnits() / "default.target.wants" / "backup.timer", "../backup.timer");
  link(userUnits() / "timers.target.wants" / "muted.service", "/usr/lib/systemd/user/m.service");
  link(userUnits() / "muted.service", "/dev/null");
  write(userUnits() / "default.target.wants" / "copied.service", "[Unit]\n");
  link(userUnits() / "default.target.requires" / "required.service", "/usr/lib/r.service");
  EXPECT_EQ(read(), asJSON({{"Last entry"},
                            {"backup.timer", (userUnits() / "backup.timer").string()},
                            {"syncthing.service", "/usr/lib/systemd/user/syncthing.service"}}));
}

TEST_F(AutostartItemsTest, StopsAtTheItemCapAndAtTheDeadline) {
  for (std::size_t i = 0; i + 1 < AutostartItems::maxItems; ++i) {
    const std::string id = "entry" + std::string(3 - std::to_string(i).size(), '0') +
                           std::to_string(i);
    write(systemAutostart() / (id + ".desktop"), entry);
  }
  link(userUnits() / "default.target.wants" / "a.service", "/usr/lib/a.service");
  link(userUnits() / "default.target.wants" / "b.service", "/usr/lib/b.service");

  const Json items = read();
  ASSERT_EQ(items.size(), AutostartItems::maxItems);
  EXPECT_EQ(items.front(), LoginItem{"entry000"}.toJSON());
  EXPECT_EQ(items[AutostartItems::maxItems - 2], LoginItem{"entry198"}.toJSON());
  EXPECT_EQ(items.back(), (LoginItem{"a.service", "/usr/lib/a.service"}.toJSON()));

  EXPECT_EQ(read(Clock::now() - std::chrono::seconds(1)), Json::array());
}

TEST_F(AutostartItemsTest, MissingFoldersGiveNoItems) {
  EXPECT_EQ(read(), Json::array());
  write(userConfig() / "systemd", "a file where a folder belongs");
  EXPECT_EQ(read(), Json::array());
}

}  // namespace
}  // namespace torvo
