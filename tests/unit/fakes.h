// Test doubles for the platform seams. They record what the code under test did, in order,
// in one shared event log, so that tests can check writes and pauses together.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <thread>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/narrow.h"
#include "manager/executable_path.h"
#include "manager/sms_mgr.h"
#include "port/pause.h"
#include "port/port_enumerator.h"
#include "port/serial_device.h"
#include "settings/settings_file.h"
#include "sms/rules.h"
#include "sms/submission.h"

namespace merel::test {

// What a real device has received, up to `size` bytes, read five bytes at a time so that answers
// cross the reader's buffer; gives up after five seconds without a byte.
inline std::string TakeWaiting(SerialDevice& device, PortHandle handle, std::size_t size) {
    std::string got;
    char buffer[5];
    for (int idle = 0; got.size() < size && idle < 500;) {
        std::size_t n = 0;
        if (device.ReadWaiting(handle, buffer, sizeof buffer, n) != 0) break;
        got.append(buffer, n);
        if (n == 0) {
            ++idle;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    return got;
}

// The settings file as the writer makes it for port COM1 and every other value at its default.
inline const std::string kCom1Defaults =
    "Port:COM1\r\n"
    "Baudrate:460800\r\n"
    "DataBits:8\r\n"
    "Parity:0(0=None,1=Odd,2=Even)\r\n"
    "StopBits:0(0=1,1=1.5,2=2)\r\n"
    "Handshaking:1(0=Off,1=Hardware,2=Software)\r\n"
    "ReadTimeout:0(0=Nonblocking,1=Blockinging)\r\n"
    "SMSCharacterSet:0(0=PCCP437(default),1=UCS2(PDU mode))\r\n";

// Where the submissions say why they refused, for tests that look at bytes and results only.
inline Failure& Refusal() {
    static Failure failure;
    return failure;
}

// Records every command handed to it, and a cancel as the ESC it writes; the write numbered
// `failAt` (1-based) fails with `failWith`, the others give `okResult`.
struct RecordingWriter {
    std::vector<std::string> writes;
    int attempts = 0, failAt = 0;
    HRESULT failWith = kE_FAIL, okResult = kS_OK;

    ModemPort Writer() {
        return {[this](std::string_view command) {
                    if (++attempts == failAt) return failWith;
                    writes.emplace_back(command);
                    return okResult;
                },
                [this] { writes.emplace_back(1, kEsc); }};
    }
};

struct EventLog {
    std::vector<std::string> events;  // "open COM1", "write <bytes>", "pause 1000", ...
    std::vector<std::string> writes;  // the bytes of each write, in order
};

class RecordingPause : public Pause {
  public:
    explicit RecordingPause(EventLog& log) : log_(log) {}
    void Sleep(std::uint32_t milliseconds) override {
        pauses.push_back(milliseconds);
        log_.events.push_back("pause " + std::to_string(milliseconds));
    }
    std::vector<std::uint32_t> pauses;

  private:
    EventLog& log_;
};

// A serial device whose every call can be made to fail with a chosen Win32 error.
class FakeSerialDevice : public SerialDevice {
  public:
    explicit FakeSerialDevice(EventLog& log) : log_(log) {}

    // Names that open; any other name fails with 2 (file not found).
    std::vector<std::u16string> existing = {u"COM1"};
    std::int32_t failOpen = 0, failDefaultConfig = 0, failGetState = 0, failSetState = 0,
                 failGetTimeouts = 0, failSetTimeouts = 0, failWrite = 0, failClose = 0;
    // Only the n-th write (1-based) fails or is short, or with failLaterWrites that one and
    // every later one (a line that stops for good); 0 for every write.
    int failWriteNumber = 0;
    bool failLaterWrites = false;
    // Take at most this many bytes per write (short write), or all when unset.
    std::optional<std::size_t> shortWrite;

    CommState state;        // what the device holds
    CommTimeouts timeouts;  // what the device holds
    int openCount = 0, closeCount = 0, writeCount = 0, stateSets = 0, timeoutSets = 0;
    std::vector<PortHandle> openHandles;
    // Handles whose device went away (pulled out, maybe put back since): they take no more
    // calls, while a new open reaches the device.
    std::set<PortHandle> gone;
    // The name each handle was opened by, and the port each write went to, in order.
    std::map<PortHandle, std::u16string> nameOf;
    std::vector<std::u16string> writtenPorts;

    std::int32_t Open(const std::u16string& name, PortHandle& handle, std::string& why) override {
        log_.events.push_back("open " + Utf16ToUtf8(name));
        handle = kInvalidPort;
        why.clear();
        if (failOpen) return failOpen;
        bool found = false;
        for (const auto& n : existing) found = found || n == name;
        if (!found) return 2;
        handle = nextHandle_++;
        openHandles.push_back(handle);
        nameOf[handle] = name;
        ++openCount;
        return 0;
    }
    std::int32_t ApplyDefaultConfig(const std::u16string& name, PortHandle) override {
        log_.events.push_back("default-config " + Utf16ToUtf8(name));
        return failDefaultConfig;
    }
    std::int32_t GetState(PortHandle handle, CommState& s) override {
        log_.events.push_back("get-state");
        if (failGetState) return failGetState;
        if (gone.contains(handle)) return 1117;  // I/O device error
        s = state;
        return 0;
    }
    std::int32_t SetState(PortHandle, const CommState& s) override {
        log_.events.push_back("set-state");
        if (failSetState) return failSetState;
        state = s;
        ++stateSets;
        return 0;
    }
    std::int32_t GetTimeouts(PortHandle, CommTimeouts& t) override {
        log_.events.push_back("get-timeouts");
        if (failGetTimeouts) return failGetTimeouts;
        t = timeouts;
        return 0;
    }
    std::int32_t SetTimeouts(PortHandle, const CommTimeouts& t) override {
        log_.events.push_back("set-timeouts");
        if (failSetTimeouts) return failSetTimeouts;
        timeouts = t;
        ++timeoutSets;
        return 0;
    }
    std::int32_t Write(PortHandle handle, const char* data, std::size_t size,
                       std::size_t& written) override {
        ++writeCount;
        written = 0;
        const bool faulty = failWriteNumber == 0 || failWriteNumber == writeCount ||
                            (failLaterWrites && writeCount > failWriteNumber);
        if (failWrite && faulty) {
            log_.events.push_back("write-failed");
            return failWrite;
        }
        written = shortWrite && faulty ? std::min(size, *shortWrite) : size;
        std::string bytes(data, written);
        log_.events.push_back("write " + bytes);
        log_.writes.push_back(bytes);
        writtenPorts.push_back(nameOf[handle]);
        if (modem) incoming += modem(bytes);
        return 0;
    }
    // What the modem sends back for each write, where a test gives it one.
    std::function<std::string(const std::string& written)> modem;
    // What the modem has sent and the port has not yet read.
    std::string incoming;
    std::int32_t failRead = 0;
    std::int32_t ReadWaiting(PortHandle, char* data, std::size_t size, std::size_t& got) override {
        got = 0;
        if (failRead) return failRead;
        got = std::min(size, incoming.size());
        std::copy_n(incoming.data(), got, data);
        incoming.erase(0, got);
        return 0;
    }
    std::int32_t Close(PortHandle handle) override {
        log_.events.push_back("close");
        if (failClose) return failClose;
        std::erase(openHandles, handle);
        ++closeCount;
        return 0;
    }

  private:
    EventLog& log_;
    PortHandle nextHandle_ = 100;
};

// Settings files kept in memory, by path. As strict as the strictest system: an open file
// can be neither replaced nor deleted.
class FakeSettingsFiles : public SettingsFileSystem {
  public:
    std::map<std::u16string, std::string> files;
    std::int32_t failOpenRead = 0, failOpenWrite = 0, failCreate = 0, failWrite = 0,
                 failReplace = 0;
    int openCount = 0;

    // No links and no folders here.
    std::int32_t Locate(const std::u16string& path, std::u16string& target,
                        FileKind& kind) override {
        target = path;
        kind = files.count(path) ? FileKind::kFile : FileKind::kMissing;
        return 0;
    }
    std::int32_t OpenForRead(const std::u16string& path, FileHandle& file) override {
        if (failOpenRead) return failOpenRead;
        return OpenExisting(path, file);
    }
    std::int32_t Size(FileHandle file, std::uint64_t& bytes) override {
        bytes = files.at(bound_.at(file)).size();
        return 0;
    }
    std::u16string ReadText(FileHandle file, std::uint64_t limit) override {
        const std::string bytes = files.at(bound_.at(file)).substr(0, limit);
        return WidenLatin1(bytes.substr(0, bytes.find('\0')));
    }
    std::int32_t OpenForWrite(const std::u16string& path, FileHandle& file) override {
        if (failOpenWrite) return failOpenWrite;
        return OpenExisting(path, file);
    }
    std::int32_t CreateForWrite(const std::u16string& path, FileHandle& file) override {
        if (failCreate) return failCreate;
        if (path.empty()) return 3;
        files.try_emplace(path);
        return Bind(path, file);
    }
    std::int32_t WriteAll(FileHandle file, std::string_view bytes) override {
        if (failWrite) return failWrite;
        files[bound_.at(file)] = std::string(bytes);
        return 0;
    }
    std::int32_t Replace(const std::u16string& from, const std::u16string& to) override {
        if (failReplace) return failReplace;
        if (IsOpen(from) || IsOpen(to)) return 32;
        auto source = files.find(from);
        if (source == files.end()) return 2;
        files[to] = std::move(source->second);
        files.erase(from);
        return 0;
    }
    void Remove(const std::u16string& path) override {
        if (!IsOpen(path)) files.erase(path);
    }
    void Close(FileHandle& file) override {
        bound_.erase(file);
        file = kNoFile;
    }
    bool AnyOpen() const { return !bound_.empty(); }

  private:
    std::int32_t OpenExisting(const std::u16string& path, FileHandle& file) {
        if (path.empty()) return 3;
        if (!files.count(path)) return 2;
        return Bind(path, file);
    }
    std::int32_t Bind(const std::u16string& path, FileHandle& file) {
        ++openCount;
        file = next_++;
        bound_[file] = path;
        return 0;
    }
    bool IsOpen(const std::u16string& path) const {
        for (const auto& [handle, bound] : bound_) {
            if (bound == path) return true;
        }
        return false;
    }
    std::map<FileHandle, std::u16string> bound_;
    FileHandle next_ = 7;
};

class FakePortEnumerator : public PortEnumerator {
  public:
    std::optional<std::vector<std::optional<std::u16string>>> devices =
        std::vector<std::optional<std::u16string>>{};
    std::optional<std::vector<std::optional<std::u16string>>> Enumerate() override {
        return devices;
    }
};

// A manager wired to fakes, with its executable in the folder `dir`.
struct FakeWorld {
    EventLog log;
    FakeSerialDevice device{log};
    RecordingPause pause{log};
    FakeSettingsFiles files;
    FakePortEnumerator ports;

    static std::u16string Dir() { return kPathSeparator == u'/' ? u"/opt/merel/" : u"C:\\Merel\\"; }
    static std::u16string ExePath() { return Dir() + u"MerelSMSManager.exe"; }
    std::u16string IniPath() const { return Dir() + u"SMSMgr.ini"; }

    CSMSMgr::Services Services() { return {&device, &pause, &files, &ports, &ExePath}; }
};

}  // namespace merel::test
