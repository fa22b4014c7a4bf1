#include <gtest/gtest.h>

#include "host/dbus/service.h"

namespace merel::dbus {
namespace {

using Kind = BusChoice::Kind;

TEST(DbusService, ServesOnTheBusThatStartedIt) {
    // The bus daemon names its own address when it starts the service: that wins.
    const BusChoice started = ChooseBus(false, "unix:path=/run/private/bus", "session");
    EXPECT_EQ(started.kind, Kind::kAddress);
    EXPECT_EQ(started.address, "unix:path=/run/private/bus");
    EXPECT_EQ(ChooseBus(false, "unix:path=/run/dbus/system_bus_socket", "system").kind,
              Kind::kAddress);
    EXPECT_EQ(ChooseBus(false, nullptr, "system").kind, Kind::kSystem);
    EXPECT_EQ(ChooseBus(false, "", "system").kind, Kind::kSystem);
}

TEST(DbusService, SystemOptionTakesTheSystemBusOrTheSystemBusThatStartedIt) {
    EXPECT_EQ(ChooseBus(true, nullptr, nullptr).kind, Kind::kSystem);
    EXPECT_EQ(ChooseBus(true, "unix:path=/run/user/1000/bus", "session").kind, Kind::kSystem);
    const BusChoice started = ChooseBus(true, "unix:path=/run/private/system", "system");
    EXPECT_EQ(started.kind, Kind::kAddress);
    EXPECT_EQ(started.address, "unix:path=/run/private/system");
}

TEST(DbusService, StartedByHandServesOnTheSessionBus) {
    EXPECT_EQ(ChooseBus(false, nullptr, nullptr).kind, Kind::kSession);
    EXPECT_EQ(ChooseBus(false, nullptr, "session").kind, Kind::kSession);
    EXPECT_EQ(ChooseBus(false, nullptr, "user").kind, Kind::kSession);
}

}  // namespace
}  // namespace merel::dbus
