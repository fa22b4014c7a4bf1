#include <gtest/gtest.h>

#include "host/dbus/service.h"

namespace merel::dbus {
namespace {

using Kind = BusChoice::Kind;

TEST(DbusService, ServesOnTheBusThatStartedIt) {
    // The bus daemon names its own address when it starts the service: that wins.
    const BusChoice started = ChooseBus("unix:path=/run/private/bus", "session");
    EXPECT_EQ(started.kind, Kind::kAddress);
    EXPECT_EQ(started.address, "unix:path=/run/private/bus");
    EXPECT_EQ(ChooseBus("unix:path=/run/dbus/system_bus_socket", "system").kind, Kind::kAddress);
    EXPECT_EQ(ChooseBus(nullptr, "system").kind, Kind::kSystem);
    EXPECT_EQ(ChooseBus("", "system").kind, Kind::kSystem);
}

TEST(DbusService, StartedByHandServesOnTheSessionBus) {
    EXPECT_EQ(ChooseBus(nullptr, nullptr).kind, Kind::kSession);
    EXPECT_EQ(ChooseBus(nullptr, "session").kind, Kind::kSession);
    EXPECT_EQ(ChooseBus(nullptr, "user").kind, Kind::kSession);
}

}  // namespace
}  // namespace merel::dbus
