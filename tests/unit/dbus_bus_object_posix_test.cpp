// The bus object over a real D-Bus connection (a socket pair, no bus daemon), in front of a
// manager wired to fakes: what a client sends and gets back after the marshalling.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include <systemd/sd-bus.h>

#include "fakes.h"
#include "host/dbus/bus_errors.h"
#include "interface/error_names.h"
#include "interface/names.h"
#include "host/dbus/bus_object.h"
#include "interface/description.h"

namespace merel::dbus {

using namespace merel::wire;
namespace {

// A method call made at construction, with what came back.
struct Reply {
    sd_bus_message* message = nullptr;
    sd_bus_error error{};  // SD_BUS_ERROR_NULL, whose compound literal is not C++
    int result = 0;

    template <typename... Args>
    Reply(sd_bus* bus, const char* interface, const char* member, const char* signature,
          Args... args) {
        result = sd_bus_call_method(bus, nullptr, kObjectPath, interface, member, &error, &message,
                                    signature, args...);
    }
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

        serving_ = std::thread([this] {
            for (int r = 0; !stop_ && r >= 0;) {
                r = sd_bus_process(server_, nullptr);
                if (r == 0) r = sd_bus_wait(server_, 1000000);
            }
        });
    }

    void TearDown() override {
        stop_ = true;
        // Closing our end wakes the server, which then ends.
        sd_bus_flush_close_unref(client_);
        if (serving_.joinable()) serving_.join();
        sd_bus_flush_close_unref(server_);
    }

    // Calls a method of our interface with the arguments given after their signature.
    template <typename... Args>
    Reply Call(const char* member, const char* signature = "", Args... args) {
        return Reply(client_, kInterface, member, signature, args...);
    }
    template <typename... Args>
    Reply Call2(const char* member, const char* signature = "", Args... args) {
        return Reply(client_, kInterface2, member, signature, args...);
    }

    // The SendReport signals that reached the client: each one's warnings and transcript, and
    // how many of them had arrived before the reply of the call just made, which the client
    // has read up to and no further.
    struct Report {
        std::vector<std::string> warnings;
        std::string transcript;
    };
    std::vector<Report> ReportsReceived(std::uint64_t& beforeTheReply) {
        beforeTheReply = 0;
        EXPECT_GE(sd_bus_get_n_queued_read(client_, &beforeTheReply), 0);
        std::vector<Report> reports;
        sd_bus_slot* slot = nullptr;
        EXPECT_GE(sd_bus_add_filter(client_, &slot, OnSignal, &reports), 0);
        while (sd_bus_process(client_, nullptr) > 0) {
        }
        sd_bus_slot_unref(slot);
        return reports;
    }
    static int OnSignal(sd_bus_message* m, void* userdata, sd_bus_error*) {
        if (!sd_bus_message_is_signal(m, kInterface2, "SendReport")) return 0;
        Report report;
        char** warnings = nullptr;
        const char* transcript = nullptr;
        EXPECT_STREQ(sd_bus_message_get_path(m), kObjectPath);
        EXPECT_GE(sd_bus_message_read_strv(m, &warnings), 0);
        EXPECT_GE(sd_bus_message_read(m, "s", &transcript), 0);
        for (char** w = warnings; w && *w; ++w) {
            report.warnings.emplace_back(*w);
            free(*w);
        }
        free(warnings);
        report.transcript = transcript ? transcript : "";
        static_cast<std::vector<Report>*>(userdata)->push_back(std::move(report));
        return 1;
    }

    static void ExpectHResult(const Reply& reply, std::uint32_t expected) {
        EXPECT_FALSE(reply.Ok());
        EXPECT_EQ(reply.HResult(), static_cast<HRESULT>(expected))
            << (reply.error.name ? reply.error.name : "(no error)");
    }

    // The four status flags of a GetSMSManagerStatus reply.
    static std::vector<int> ReadFlags(const Reply& reply) {
        std::uint8_t f[4] = {9, 9, 9, 9};
        EXPECT_GE(sd_bus_message_read(reply.message, "yyyy", &f[0], &f[1], &f[2], &f[3]), 0);
        return {f[0], f[1], f[2], f[3]};
    }

    // The port, the baud rate and the six shorts of a GetSettings reply.
    using Settings = std::tuple<std::string, std::int32_t, std::vector<int>>;
    static Settings ReadSettings(const Reply& reply) {
        const char* port = "";
        std::int32_t baud = 0;
        std::int16_t v[6] = {};
        EXPECT_GE(sd_bus_message_read(reply.message, "sinnnnnn", &port, &baud, &v[0], &v[1], &v[2],
                                      &v[3], &v[4], &v[5]),
                  0);
        return {port, baud, std::vector<int>(v, v + 6)};
    }

    // The count and the names of a GetDetectedCOMPortsOnHost or CheckModem reply.
    using Ports = std::pair<std::uint32_t, std::vector<std::string>>;
    static Ports ReadPorts(const Reply& reply) {
        std::uint32_t count = 99;
        char** names = nullptr;
        EXPECT_GE(sd_bus_message_read(reply.message, "u", &count), 0);
        EXPECT_GE(sd_bus_message_read_strv(reply.message, &names), 0);
        std::vector<std::string> got;
        for (char** p = names; p != nullptr && *p != nullptr; ++p) {
            got.emplace_back(*p);
            free(*p);
        }
        free(names);
        return {count, got};
    }

    // Brings the manager to an open, configured COM1 with the given character set: the first
    // Init fails for the missing settings file but fixes its path, SetSettings writes the file.
    void InitWithCharacterSet(int characterSet) {
        ExpectHResult(Call("Init"), 0x80070002u);
        const Reply set =
            Call("SetSettings", "sinnnnnn", "COM1", 9600, 8, 0, 0, 1, 0, characterSet);
        ASSERT_TRUE(set.Ok()) << set.error.message;
        const Reply again = Call("Init");
        ASSERT_TRUE(again.Ok()) << again.error.message;
        world_.log.writes.clear();  // the ESC that Init writes after opening
    }

    test::FakeWorld world_;
    CSMSMgr manager_{world_.Services()};
    std::atomic<int> calls_{0};
    // Carries each call out at once, on the bus thread, and answers it there.
    SmsMgrBusObject object_{[this](sd_bus_message* call, SmsMgrBusObject::MethodCall method) {
        ++calls_;
        const int r = method.reply(call, method.run(manager_));
        return r < 0 ? r : 1;
    }};
    sd_bus* server_ = nullptr;
    sd_bus* client_ = nullptr;
    std::thread serving_;
    std::atomic<bool> stop_{false};
};

TEST_F(DbusBusObject, StatusAndSettingsCrossTheBusUnchanged) {
    EXPECT_EQ(ReadFlags(Call("GetSMSManagerStatus")), (std::vector<int>{0, 0, 0, 0}));
    EXPECT_EQ(ReadSettings(Call("GetSettings")), (Settings{"", 460800, {8, 0, 0, 1, 0, 0}}));
    EXPECT_EQ(calls_, 2);

    // Before Init the file cannot be written: E_FAIL, and the values are kept all the same,
    // negative shorts and non-ASCII text included.
    ExpectHResult(
        Call("SetSettings", "sinnnnnn", "/dev/ttyUSB\xC3\xA9", -1, -1, 2, -32768, 32767, 1, 1),
        0x80004005u);
    EXPECT_EQ(manager_.m_strPort, u"/dev/ttyUSB\u00E9");
    EXPECT_EQ(ReadSettings(Call("GetSettings")),
              (Settings{"/dev/ttyUSB\xC3\xA9", -1, {-1, 2, -32768, 32767, 1, 1}}));
}

TEST_F(DbusBusObject, WrongSignatureIsRefusedBeforeTheManagerIsReached) {
    // Longs where shorts belong.
    const Reply set = Call("SetSettings", "siiiiiii", "COM9", 9600, 7, 2, 1, 0, 1, 1);
    EXPECT_FALSE(set.Ok());
    EXPECT_STREQ(set.error.name, SD_BUS_ERROR_INVALID_ARGS);
    EXPECT_EQ(set.HResult(), std::nullopt);
    // A missing argument.
    EXPECT_STREQ(Call("SendTextMessage", "ss", "123", "Hello").error.name,
                 SD_BUS_ERROR_INVALID_ARGS);

    EXPECT_EQ(calls_, 0);
    EXPECT_EQ(manager_.m_strPort, u"");
    EXPECT_EQ(manager_.m_loBaudrate, 460800);
    EXPECT_TRUE(world_.files.files.empty());
}

// The message is made from the manager right after the call and says what failed.
TEST_F(DbusBusObject, InitFailureComesBackAsItsHResultNamingTheFile) {
    const Reply init = Call("Init");
    ExpectHResult(init, 0x80070002u);
    EXPECT_EQ(std::string(init.error.message), "0x80070002: settings file " +
                                                   Utf16ToUtf8(world_.IniPath()) +
                                                   " not found: write it with SetSettings");
}

TEST_F(DbusBusObject, SendsConvertTheUtf8TextToUtf16) {
    InitWithCharacterSet(1);
    // Text mode narrows the UTF-16 text, not the UTF-8 bytes: U+00E9 becomes the one byte E9.
    const Reply text = Call("SendTextMessage", "ssi", "+49 170 1234567", "H\xC3\xA9", -1);
    ASSERT_TRUE(text.Ok()) << text.error.message;
    ASSERT_EQ(world_.log.writes.size(), 5u);
    EXPECT_EQ(world_.log.writes[2], "AT+CMGS=\"+491701234567\"\n\r");
    EXPECT_EQ(world_.log.writes[3], "H\xE9\x1A\n\r");

    // U+1F600, four UTF-8 bytes on the bus, reaches the PDU as its surrogate pair: five units
    // (H, i, blank and the two halves), ten octets of user data.
    world_.log.writes.clear();
    const Reply pdu = Call("SendMessage", "ss", "4912345678", "Hi \xF0\x9F\x98\x80");
    ASSERT_TRUE(pdu.Ok()) << pdu.error.message;
    ASSERT_EQ(world_.log.writes.size(), 6u);
    EXPECT_EQ(world_.log.writes[3], "AT+CMGS=22\n\r");
    EXPECT_EQ(world_.log.writes[4], "0021000A91942143658700080A004800690020D83DDE00\x1A\n\r");
}

TEST_F(DbusBusObject, TestPortReportsThroughFlagsAndHResult) {
    InitWithCharacterSet(0);
    EXPECT_TRUE(Call("TestPort").Ok());
    ASSERT_TRUE(Call("SetSettings", "sinnnnnn", "COM7", 9600, 8, 0, 0, 1, 0, 0).Ok());
    ExpectHResult(Call("TestPort"), 0x80070002u);
    EXPECT_EQ(ReadFlags(Call("GetSMSManagerStatus")), (std::vector<int>{1, 0, 0, 0}));
}

TEST_F(DbusBusObject, PortListGivesTheCountThenTheNames) {
    world_.ports.devices = std::vector<std::optional<std::u16string>>{
        u"Serial Port (/dev/ttyS0)", std::nullopt, u"Modem \u00C9 (/dev/ttyUSB0)"};
    EXPECT_EQ(ReadPorts(Call("GetDetectedCOMPortsOnHost")),
              (Ports{2, {"Serial Port (/dev/ttyS0)", "Modem \xC3\x89 (/dev/ttyUSB0)"}}));

    world_.ports.devices = std::nullopt;
    EXPECT_EQ(ReadPorts(Call("GetDetectedCOMPortsOnHost")),
              (Ports{9, {"COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8", "COM9"}}));

    world_.ports.devices = std::vector<std::optional<std::u16string>>{};
    const Reply empty = Call("GetDetectedCOMPortsOnHost");
    EXPECT_STREQ(sd_bus_message_get_signature(empty.message, 1), "uas");
    EXPECT_EQ(ReadPorts(empty), (Ports{0, {}}));
}

TEST_F(DbusBusObject, IntrospectOnTheObjectGivesOurDataWithAnnotations) {
    const Reply reply(client_, "org.freedesktop.DBus.Introspectable", "Introspect", "");
    ASSERT_TRUE(reply.Ok());
    const char* xml = nullptr;
    ASSERT_GE(sd_bus_message_read(reply.message, "s", &xml), 0);
    EXPECT_EQ(std::string(xml), ObjectIntrospectionXml());
    // Looking is no call of the interface.
    EXPECT_EQ(calls_, 0);
}

// A modem that says nothing: the send's bytes are the usual ones, the result is "not
// confirmed", and the caller has its report signal before the reply.
TEST_F(DbusBusObject, SendConfirmedGivesTheReferenceAfterItsReport) {
    InitWithCharacterSet(1);
    // Mode 0 sends in text mode whatever the stored character set: U+00E9 becomes the byte E9.
    const Reply text = Call2("SendConfirmed", "ssn", "+49 170 1234567", "H\xC3\xA9", 0);
    ASSERT_TRUE(text.Ok()) << text.error.message;
    std::uint64_t early = 0;
    const auto reports = ReportsReceived(early);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(early, 1u);
    EXPECT_TRUE(reports[0].warnings.empty());
    std::int32_t reference = 0;
    ASSERT_GE(sd_bus_message_read(text.message, "i", &reference), 0);
    EXPECT_EQ(reference, -1);
    ASSERT_EQ(world_.log.writes.size(), 5u);
    EXPECT_EQ(world_.log.writes[2], "AT+CMGS=\"+491701234567\"\n\r");
    EXPECT_EQ(world_.log.writes[3], "H\xE9\x1A\n\r");

    // Mode -1 takes the stored one, PDU here.
    world_.log.writes.clear();
    ASSERT_TRUE(Call2("SendConfirmed", "ssn", "4912345678", "Hi", -1).Ok());
    ASSERT_EQ(world_.log.writes.size(), 6u);
    EXPECT_EQ(world_.log.writes[3], "AT+CMGS=16\n\r");
    EXPECT_EQ(ReportsReceived(early).size(), 1u);
}

// A failed send reports too, before its error; a call refused on arrival reaches neither the
// manager nor the modem, and has nothing to report.
TEST_F(DbusBusObject, SendConfirmedFailuresComeBackAsTheirHResults) {
    InitWithCharacterSet(0);
    const Reply mode = Call2("SendConfirmed", "ssn", "123", "Hi", 2);
    ExpectHResult(mode, 0x80070057u);
    EXPECT_NE(std::string(mode.error.message).find('2'), std::string::npos) << mode.error.message;
    std::uint64_t early = 0;
    EXPECT_EQ(ReportsReceived(early).size(), 1u);
    EXPECT_EQ(early, 1u);
    EXPECT_TRUE(world_.log.writes.empty());

    const int calls = calls_;
    const std::string longNumber(5000, '1');
    const Reply oversized = Call2("SendConfirmed", "ssn", longNumber.c_str(), "Hi", 0);
    ExpectHResult(oversized, 0x80070057u);
    EXPECT_NE(std::string(oversized.error.message).find("u_bstrPhoneNr"), std::string::npos);
    EXPECT_EQ(calls_, calls);
    EXPECT_TRUE(ReportsReceived(early).empty());
    // Longs where the mode's short belongs.
    EXPECT_STREQ(Call2("SendConfirmed", "ssi", "123", "Hi", 0).error.name,
                 SD_BUS_ERROR_INVALID_ARGS);
    EXPECT_TRUE(world_.log.writes.empty());
}

// CheckModem is shaped like the port list: the count, then one line per query.
TEST_F(DbusBusObject, CheckModemGivesTheCountThenTheLines) {
    ExpectHResult(Call2("CheckModem"), 0x80070006u);  // no port is open
    InitWithCharacterSet(0);
    const Reply reply = Call2("CheckModem");
    ASSERT_TRUE(reply.Ok()) << reply.error.message;
    EXPECT_STREQ(sd_bus_message_get_signature(reply.message, 1), "uas");
    const Ports lines = ReadPorts(reply);
    EXPECT_EQ(lines.first, 9u);
    ASSERT_EQ(lines.second.size(), 9u);
    EXPECT_EQ(lines.second[0], "AT\t(no answer)");
    EXPECT_EQ(lines.second[8], "AT+CSCS=?\t(no answer)");
    // The nine methods are not served on the second interface.
    EXPECT_STREQ(Call2("Init").error.name, SD_BUS_ERROR_UNKNOWN_METHOD);
}

}  // namespace
}  // namespace merel::dbus
