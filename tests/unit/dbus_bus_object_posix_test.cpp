// The bus object over a real D-Bus connection (a socket pair, no bus daemon), in front of a
// manager wired to fakes: what a client sends and gets back after the marshalling.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <systemd/sd-bus.h>

#include "fakes.h"
#include "host/dbus/bus_errors.h"
#include "host/dbus/bus_names.h"
#include "host/dbus/bus_object.h"
#include "host/dbus/interface_description.h"

namespace merel::dbus {
namespace {

struct Reply {
    sd_bus_message* message = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int result = 0;

    Reply() = default;
    Reply(const Reply&) = delete;
    Reply& operator=(const Reply&) = delete;
    ~Reply() {
        sd_bus_message_unref(message);
        sd_bus_error_free(&error);
    }
    bool Ok() const { return result >= 0; }
    std::optional<HRESULT> HResult() const {
        if (!sd_bus_error_is_set(&error)) return std::nullopt;
        return HResultFromBusError(error.name, error.message ? error.message : "");
    }
};

class DbusBusObject : public ::testing::Test {
  protected:
    void SetUp() override {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        sd_id128_t id;
        ASSERT_GE(sd_id128_randomize(&id), 0);

        ASSERT_GE(sd_bus_new(&server_), 0);
        ASSERT_GE(sd_bus_set_fd(server_, fds[0], fds[0]), 0);
        ASSERT_GE(sd_bus_set_server(server_, 1, id), 0);
        ASSERT_GE(object_.Publish(server_), 0);
        ASSERT_GE(sd_bus_start(server_), 0);

        ASSERT_GE(sd_bus_new(&client_), 0);
        ASSERT_GE(sd_bus_set_fd(client_, fds[1], fds[1]), 0);
        ASSERT_GE(sd_bus_start(client_), 0);

        serving_ = std::thread([this] { Serve(); });
    }

    void TearDown() override {
        stop_ = true;
        // Closing our end wakes the server, which then ends.
        sd_bus_flush_close_unref(client_);
        if (serving_.joinable()) serving_.join();
        sd_bus_flush_close_unref(server_);
    }

    void Serve() {
        while (!stop_) {
            const int r = sd_bus_process(server_, nullptr);
            if (r < 0) return;
            if (r > 0) continue;
            if (sd_bus_wait(server_, 1000000) < 0) return;
        }
    }

    // Calls a method of the interface with the arguments already appended by `append`.
    template <typename Append>
    void Call(Reply& reply, const char* member, const char* signature, Append append) {
        sd_bus_message* call = nullptr;
        ASSERT_GE(sd_bus_message_new_method_call(client_, &call, nullptr, kObjectPath, kInterface,
                                                 member),
                  0);
        if (signature != nullptr) {
            ASSERT_GE(append(call), 0) << member;
        }
        reply.result = sd_bus_call(client_, call, 10000000, &reply.error, &reply.message);
        sd_bus_message_unref(call);
    }
    void Call(Reply& reply, const char* member) {
        Call(reply, member, nullptr, [](sd_bus_message*) { return 0; });
    }

    void ExpectHResult(const Reply& reply, std::uint32_t expected) {
        EXPECT_FALSE(reply.Ok());
        EXPECT_EQ(reply.HResult(), static_cast<HRESULT>(expected))
            << (reply.error.name ? reply.error.name : "(no error)");
    }

    void SetSettings(Reply& reply, const char* port, std::int32_t baud, std::int16_t dataBits,
                     std::int16_t parity, std::int16_t stopBits, std::int16_t handshake,
                     std::int16_t readTimeout, std::int16_t characterSet) {
        Call(reply, "SetSettings", "sinnnnnn", [&](sd_bus_message* m) {
            return sd_bus_message_append(m, "sinnnnnn", port, baud, dataBits, parity, stopBits,
                                         handshake, readTimeout, characterSet);
        });
    }

    void SendPdu(Reply& reply, const char* member, const char* number, const char* text) {
        Call(reply, member, "ss",
             [&](sd_bus_message* m) { return sd_bus_message_append(m, "ss", number, text); });
    }

    // Brings the manager to an open, configured COM1 with the given character set: the first
    // Init fails for the missing settings file but fixes its path, SetSettings writes the file.
    void InitWithCharacterSet(std::int16_t characterSet) {
        Reply init, set, again;
        Call(init, "Init");
        ExpectHResult(init, 0x80070002u);
        SetSettings(set, "COM1", 9600, 8, 0, 0, 1, 0, characterSet);
        ASSERT_TRUE(set.Ok()) << set.error.message;
        Call(again, "Init");
        ASSERT_TRUE(again.Ok()) << again.error.message;
    }

    test::FakeWorld world_;
    CSMSMgr manager_{world_.Services()};
    std::atomic<int> calls_{0};
    SmsMgrBusObject object_{manager_, [this](sd_bus_message*) { ++calls_; }};
    sd_bus* server_ = nullptr;
    sd_bus* client_ = nullptr;
    std::thread serving_;
    std::atomic<bool> stop_{false};
};

TEST_F(DbusBusObject, FreshObjectGivesTheInitialStatusAndSettings) {
    Reply status, settings;
    Call(status, "GetSMSManagerStatus");
    ASSERT_TRUE(status.Ok());
    std::uint8_t flags[4] = {9, 9, 9, 9};
    ASSERT_GE(
        sd_bus_message_read(status.message, "yyyy", &flags[0], &flags[1], &flags[2], &flags[3]), 0);
    EXPECT_EQ(std::vector<int>(flags, flags + 4), (std::vector<int>{0, 0, 0, 0}));

    Call(settings, "GetSettings");
    ASSERT_TRUE(settings.Ok());
    const char* port = nullptr;
    std::int32_t baud = 0;
    std::int16_t v[6] = {};
    ASSERT_GE(sd_bus_message_read(settings.message, "sinnnnnn", &port, &baud, &v[0], &v[1], &v[2],
                                  &v[3], &v[4], &v[5]),
              0);
    EXPECT_STREQ(port, "");
    EXPECT_EQ(baud, 460800);
    EXPECT_EQ(std::vector<int>(v, v + 6), (std::vector<int>{8, 0, 0, 1, 0, 0}));
    EXPECT_EQ(calls_, 2);
}

TEST_F(DbusBusObject, SettingsRoundTripKeepsNegativeShortsAndNonAsciiText) {
    // Before Init the file cannot be written: E_FAIL, and the values are kept all the same.
    Reply set, get;
    SetSettings(set, "/dev/ttyUSB\xC3\xA9", -1, -1, 2, -32768, 32767, 1, 1);
    ExpectHResult(set, 0x80004005u);
    EXPECT_EQ(manager_.m_strPort, u"/dev/ttyUSB\u00E9");

    Call(get, "GetSettings");
    ASSERT_TRUE(get.Ok());
    const char* port = nullptr;
    std::int32_t baud = 0;
    std::int16_t v[6] = {};
    ASSERT_GE(sd_bus_message_read(get.message, "sinnnnnn", &port, &baud, &v[0], &v[1], &v[2], &v[3],
                                  &v[4], &v[5]),
              0);
    EXPECT_STREQ(port, "/dev/ttyUSB\xC3\xA9");
    EXPECT_EQ(baud, -1);
    EXPECT_EQ(std::vector<int>(v, v + 6), (std::vector<int>{-1, 2, -32768, 32767, 1, 1}));
}

TEST_F(DbusBusObject, WrongSignatureIsRefusedBeforeTheManagerIsReached) {
    Reply set, text;
    // Longs where shorts belong.
    Call(set, "SetSettings", "siiiiiii", [](sd_bus_message* m) {
        return sd_bus_message_append(m, "siiiiiii", "COM9", 9600, 7, 2, 1, 0, 1, 1);
    });
    EXPECT_FALSE(set.Ok());
    EXPECT_STREQ(set.error.name, SD_BUS_ERROR_INVALID_ARGS);
    EXPECT_EQ(set.HResult(), std::nullopt);
    // A missing argument.
    SendPdu(text, "SendTextMessage", "123", "Hello");
    EXPECT_STREQ(text.error.name, SD_BUS_ERROR_INVALID_ARGS);

    EXPECT_EQ(calls_, 0);
    EXPECT_EQ(manager_.m_strPort, u"");
    EXPECT_EQ(manager_.m_loBaudrate, 460800);
    EXPECT_TRUE(world_.files.files.empty());
}

TEST_F(DbusBusObject, InitFailuresComeBackAsTheirHResult) {
    Reply init, status, send;
    Call(init, "Init");
    ExpectHResult(init, 0x80070002u);
    EXPECT_EQ(std::string(init.error.message), "0x80070002: file not found");
    Call(status, "GetSMSManagerStatus");
    ASSERT_TRUE(status.Ok());
    // Without a settings file or a port, a send is refused.
    SendPdu(send, "SendMessage", "123", "Hi");
    ExpectHResult(send, 0x80004005u);
    EXPECT_TRUE(world_.log.writes.empty());
}

TEST_F(DbusBusObject, TextModeSendNarrowsTheUtf16TextNotTheUtf8Bytes) {
    InitWithCharacterSet(0);
    Reply send;
    Call(send, "SendTextMessage", "ssi", [](sd_bus_message* m) {
        return sd_bus_message_append(m, "ssi", "+49 170 1234567", "H\xC3\xA9", -1);
    });
    ASSERT_TRUE(send.Ok()) << send.error.message;
    ASSERT_EQ(world_.log.writes.size(), 5u);
    EXPECT_EQ(world_.log.writes[2], "AT+CMGS=\"+491701234567\"\n\r");
    // U+00E9 is one unit and becomes the one byte E9.
    EXPECT_EQ(world_.log.writes[3], "H\xE9\x1A\n\r");
}

TEST_F(DbusBusObject, EmojiReachesThePduAsItsSurrogatePair) {
    InitWithCharacterSet(1);
    Reply send;
    // U+1F600, four UTF-8 bytes on the bus.
    SendPdu(send, "SendMessage", "4912345678", "Hi \xF0\x9F\x98\x80");
    ASSERT_TRUE(send.Ok()) << send.error.message;
    ASSERT_EQ(world_.log.writes.size(), 6u);
    // Five units (H, i, blank and the two halves), ten octets of user data.
    EXPECT_EQ(world_.log.writes[4], "0021000A91942143658700080A004800690020D83DDE00\x1A\n\r");
    EXPECT_EQ(world_.log.writes[3], "AT+CMGS=22\n\r");
}

TEST_F(DbusBusObject, TestPortReportsThroughFlagsAndHResult) {
    InitWithCharacterSet(0);
    Reply good, status, set, bad, after;
    Call(good, "TestPort");
    EXPECT_TRUE(good.Ok());

    SetSettings(set, "COM7", 9600, 8, 0, 0, 1, 0, 0);
    ASSERT_TRUE(set.Ok());
    Call(bad, "TestPort");
    ExpectHResult(bad, 0x80070002u);
    Call(after, "GetSMSManagerStatus");
    std::uint8_t flags[4] = {};
    ASSERT_GE(
        sd_bus_message_read(after.message, "yyyy", &flags[0], &flags[1], &flags[2], &flags[3]), 0);
    EXPECT_EQ(std::vector<int>(flags, flags + 4), (std::vector<int>{1, 0, 0, 0}));
}

TEST_F(DbusBusObject, PortListGivesTheCountThenTheNames) {
    world_.ports.devices = std::vector<std::optional<std::u16string>>{
        u"Serial Port (/dev/ttyS0)", std::nullopt, u"Modem \u00C9 (/dev/ttyUSB0)"};
    Reply listed, fallback, empty;
    Call(listed, "GetDetectedCOMPortsOnHost");
    ASSERT_TRUE(listed.Ok());
    std::uint32_t count = 99;
    char** names = nullptr;
    ASSERT_GE(sd_bus_message_read(listed.message, "u", &count), 0);
    ASSERT_GE(sd_bus_message_read_strv(listed.message, &names), 0);
    std::vector<std::string> got;
    for (char** p = names; p != nullptr && *p != nullptr; ++p) {
        got.emplace_back(*p);
        free(*p);
    }
    free(names);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(got, (std::vector<std::string>{"Serial Port (/dev/ttyS0)",
                                             "Modem \xC3\x89 (/dev/ttyUSB0)"}));

    world_.ports.devices = std::nullopt;
    Call(fallback, "GetDetectedCOMPortsOnHost");
    ASSERT_TRUE(fallback.Ok());
    ASSERT_GE(sd_bus_message_read(fallback.message, "u", &count), 0);
    ASSERT_GE(sd_bus_message_read_strv(fallback.message, &names), 0);
    got.clear();
    for (char** p = names; p != nullptr && *p != nullptr; ++p) {
        got.emplace_back(*p);
        free(*p);
    }
    free(names);
    EXPECT_EQ(count, 9u);
    EXPECT_EQ(got, (std::vector<std::string>{"COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7",
                                             "COM8", "COM9"}));

    world_.ports.devices = std::vector<std::optional<std::u16string>>{};
    Call(empty, "GetDetectedCOMPortsOnHost");
    ASSERT_TRUE(empty.Ok());
    EXPECT_STREQ(sd_bus_message_get_signature(empty.message, 1), "uas");
}

TEST_F(DbusBusObject, IntrospectOnTheObjectGivesOurDataWithAnnotations) {
    sd_bus_message* call = nullptr;
    ASSERT_GE(sd_bus_message_new_method_call(client_, &call, nullptr, kObjectPath,
                                             "org.freedesktop.DBus.Introspectable", "Introspect"),
              0);
    Reply reply;
    reply.result = sd_bus_call(client_, call, 10000000, &reply.error, &reply.message);
    sd_bus_message_unref(call);
    ASSERT_TRUE(reply.Ok());
    const char* xml = nullptr;
    ASSERT_GE(sd_bus_message_read(reply.message, "s", &xml), 0);
    EXPECT_EQ(std::string(xml), ObjectIntrospectionXml());
    // Looking is no call of the interface.
    EXPECT_EQ(calls_, 0);
}

}  // namespace
}  // namespace merel::dbus
