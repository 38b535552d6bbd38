// WakeOnLan against stand-in ethtool and nmcli tools over a scratch machine.
#include "platform/linux/wake_on_lan.h"

#include <gtest/gtest.h>

#include "tests/linux_settings_machine.h"

namespace torvo {
namespace {

using test::LinuxSettingsMachine;

TEST(WakeOnLanTest, ParsesEthtool_sReport) {
  const std::string report =
      "Settings for eth0:\n\tSupported ports: [ TP ]\n\tSupports Wake-on: pumbg\n"
      "\tWake-on: d\n\tLink detected: yes\n";
  EXPECT_EQ(WakeOnLan::parse("eth0", report), (WakeOnLan::Interface{"eth0", "pumbg", "d"}));
  // Without root ethtool leaves the Wake-on lines out.
  EXPECT_EQ(WakeOnLan::parse("eth0", "Settings for eth0:\n\tLink detected: yes\n"), std::nullopt);
}

TEST(WakeOnLanTest, ReadingCountsOnlyInterfacesThatCanWakeByMagicPacket) {
  const LinuxSettingsMachine machine;
  const WakeOnLan wakeOnLan(machine.wakeOnLanPlaces());
  EXPECT_EQ(wakeOnLan.reading(), std::nullopt) << "no wired interface";
  machine.addInterface("eth9", "", "");      // ethtool cannot read it
  machine.addInterface("enp1s0", "p", "d");  // no magic packets
  EXPECT_EQ(wakeOnLan.reading(), std::nullopt);
  machine.addInterface("eth0", "pumbg", "g");
  EXPECT_EQ(wakeOnLan.reading(), true);
  machine.addInterface("eth1", "pg", "p");
  EXPECT_EQ(wakeOnLan.reading(), false);
  EXPECT_EQ(wakeOnLan.capable().size(), 2u);
  // Without ethtool nothing is offered.
  auto places = machine.wakeOnLanPlaces();
  places.ethtool = (machine.path() / "no-ethtool").string();
  EXPECT_EQ(WakeOnLan(places).reading(), std::nullopt);
}

TEST(WakeOnLanTest, TurningOnAndBackRestoresInterfacesAndProfilesExactly) {
  LinuxSettingsMachine machine;
  machine.addInterface("eth0", "pumbg", "d");
  machine.addInterface("eth1", "pg", "p");
  machine.addInterface("eth2", "g", "g");
  machine.addProfile("eth1", "Wired connection 1", "default");
  const WakeOnLan wakeOnLan(machine.wakeOnLanPlaces());

  ASSERT_EQ(wakeOnLan.set(true), 0);
  EXPECT_EQ(machine.wakeOn("eth0"), "g");
  EXPECT_EQ(machine.wakeOn("eth1"), "pg");
  EXPECT_EQ(machine.profileValue("Wired connection 1"), "magic");
  EXPECT_EQ(wakeOnLan.reading(), true);
  // eth2 was on already: not in the record, so taking back leaves it on.
  EXPECT_EQ(test::readFile(machine.record()),
            "eth0\tg\td\t\t\neth1\tpg\tp\tdefault\tWired connection 1\n");

  // A second turn-on (magic switched off by hand meanwhile) keeps the first "before".
  LinuxSettingsMachine::write(machine.machine() / "wol/eth0", "p\n");
  ASSERT_EQ(wakeOnLan.set(true), 0);
  EXPECT_EQ(machine.wakeOn("eth0"), "pg");

  ASSERT_EQ(wakeOnLan.set(false), 0);
  EXPECT_EQ(machine.wakeOn("eth0"), "d");
  EXPECT_EQ(machine.wakeOn("eth1"), "p");
  EXPECT_EQ(machine.wakeOn("eth2"), "g");
  EXPECT_EQ(machine.profileValue("Wired connection 1"), "default");
  EXPECT_FALSE(std::filesystem::exists(machine.record()));
}

TEST(WakeOnLanTest, WithoutNetworkManagerTheRecordAloneCarriesTheChange) {
  const LinuxSettingsMachine machine;
  machine.addInterface("eth0", "pumbg", "d");
  machine.addProfile("eth0", "Wired connection 1", "default");
  const WakeOnLan wakeOnLan(machine.wakeOnLanPlaces(false));
  ASSERT_EQ(wakeOnLan.set(true), 0);
  EXPECT_EQ(test::readFile(machine.record()), "eth0\tg\td\t\t\n");
  EXPECT_EQ(machine.profileValue("Wired connection 1"), "default");
}

TEST(WakeOnLanTest, TurningOffWithoutARecordSwitchesMagicPacketsOff) {
  const LinuxSettingsMachine machine;
  machine.addInterface("eth0", "pumbg", "g");
  EXPECT_EQ(WakeOnLan(machine.wakeOnLanPlaces()).set(false), 0);
  EXPECT_EQ(machine.wakeOn("eth0"), "d");
}

TEST(WakeOnLanTest, AFailedChangeIsReportedAndNotRecorded) {
  const LinuxSettingsMachine machine;
  machine.addInterface("eth0", "pumbg", "d");
  machine.failChanges();
  const WakeOnLan wakeOnLan(machine.wakeOnLanPlaces());
  EXPECT_EQ(wakeOnLan.set(true), 1);
  EXPECT_EQ(machine.wakeOn("eth0"), "d");
  EXPECT_FALSE(std::filesystem::exists(machine.record()));
}

TEST(WakeOnLanTest, ATakeBackThatFailsKeepsTheRecordForTheNextTry) {
  const LinuxSettingsMachine machine;
  machine.addInterface("eth0", "pumbg", "d");
  const WakeOnLan wakeOnLan(machine.wakeOnLanPlaces());
  ASSERT_EQ(wakeOnLan.set(true), 0);
  machine.failChanges();
  EXPECT_EQ(wakeOnLan.set(false), 1);
  EXPECT_EQ(test::readFile(machine.record()), "eth0\tg\td\t\t\n");
  std::filesystem::remove(machine.machine() / "fail-set");
  EXPECT_EQ(wakeOnLan.set(false), 0);
  EXPECT_EQ(machine.wakeOn("eth0"), "d");
}

TEST(WakeOnLanTest, RecordLinesThatAreNotWholeAreSkipped) {
  EXPECT_EQ(WakeOnLan::parseRecord("eth0\tg\td\t\t\nbroken line\n\tg\td\t\t\neth1\tg\n"
                                   "eth2\tg\tp\tdefault\tOffice LAN\n"),
            (std::vector<WakeOnLan::Change>{{"eth0", "g", "d", "", ""},
                                             {"eth2", "g", "p", "default", "Office LAN"}}));
}

}  // namespace
}  // namespace torvo
