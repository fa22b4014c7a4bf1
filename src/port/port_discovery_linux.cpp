#include "port/port_discovery_linux.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <string>
#include <system_error>
#include <tuple>
#include <utility>

#include "base/narrow.h"

namespace merel {

namespace fs = std::filesystem;

namespace {

std::string Trim(std::string text) {
    const auto notSpace = [](unsigned char c) { return !std::isspace(c); };
    text.erase(std::find_if(text.rbegin(), text.rend(), notSpace).base(), text.end());
    text.erase(text.begin(), std::find_if(text.begin(), text.end(), notSpace));
    return text;
}

std::optional<std::string> ReadFirstLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    if (!in || !std::getline(in, line)) return std::nullopt;
    return Trim(line);
}

// udev writes unsafe characters of its _ENC values as \xHH.
std::string DecodeUdevEscapes(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 3]))) {
            out.push_back(static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16)));
            i += 3;
        } else {
            out.push_back(text[i]);
        }
    }
    return Trim(out);
}

// "Vendor Model", without the vendor when the model already starts with it.
std::string JoinVendorModel(const std::string& vendor, const std::string& model) {
    if (vendor.empty()) return model;
    if (model.empty()) return vendor;
    const bool modelHasVendor =
        model.size() >= vendor.size() &&
        std::equal(vendor.begin(), vendor.end(), model.begin(), [](char a, char b) {
            return std::tolower(static_cast<unsigned char>(a)) ==
                   std::tolower(static_cast<unsigned char>(b));
        });
    return modelHasVendor ? model : vendor + " " + model;
}

// The product as the udev database of the device node names it.
std::string UdevProduct(const fs::path& ttyDir, const fs::path& udevDataDir) {
    const auto dev = ReadFirstLine(ttyDir / "dev");  // "major:minor"
    if (!dev || dev->empty()) return {};
    std::ifstream in(udevDataDir / ("c" + *dev));
    if (!in) return {};
    std::map<std::string, std::string> env;
    for (std::string line; std::getline(in, line);) {
        if (!line.starts_with("E:")) continue;
        const auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        env[line.substr(2, eq - 2)] = Trim(line.substr(eq + 1));
    }
    const auto pick = [&env](const char* fromDatabase, const char* encoded, const char* plain) {
        if (auto it = env.find(fromDatabase); it != env.end() && !it->second.empty()) {
            return it->second;
        }
        if (auto it = env.find(encoded); it != env.end() && !it->second.empty()) {
            return DecodeUdevEscapes(it->second);
        }
        if (auto it = env.find(plain); it != env.end()) {
            std::string text = it->second;
            std::replace(text.begin(), text.end(), '_', ' ');  // udev's blank substitute
            return Trim(text);
        }
        return std::string();
    };
    return JoinVendorModel(pick("ID_VENDOR_FROM_DATABASE", "ID_VENDOR_ENC", "ID_VENDOR"),
                           pick("ID_MODEL_FROM_DATABASE", "ID_MODEL_ENC", "ID_MODEL"));
}

// The manufacturer and product strings of the USB device that the port belongs to.
std::string UsbProduct(const fs::path& deviceLink, const fs::path& sysRoot) {
    std::error_code ec;
    fs::path dir = fs::canonical(deviceLink, ec);
    if (ec) return {};
    const fs::path root = fs::weakly_canonical(sysRoot, ec);
    for (int depth = 0; depth < 16 && dir.has_relative_path() && dir != root; ++depth) {
        if (fs::exists(dir / "idVendor", ec)) {
            return JoinVendorModel(ReadFirstLine(dir / "manufacturer").value_or(""),
                                   ReadFirstLine(dir / "product").value_or(""));
        }
        dir = dir.parent_path();
    }
    return {};
}

// ttyS2 before ttyS10: by the name's stem, then by its trailing number.
std::tuple<std::string, unsigned long, std::string> NaturalKey(const std::string& name) {
    std::size_t digits = name.size();
    while (digits > 0 && std::isdigit(static_cast<unsigned char>(name[digits - 1]))) --digits;
    const std::string number = name.substr(digits);
    return {name.substr(0, digits), number.empty() || number.size() > 9 ? 0 : std::stoul(number),
            name};
}

}  // namespace

SysfsPortEnumerator::SysfsPortEnumerator(fs::path sysRoot, fs::path udevDataDir)
    : sysRoot_(std::move(sysRoot)), udevDataDir_(std::move(udevDataDir)) {}

std::optional<std::vector<std::optional<std::u16string>>> SysfsPortEnumerator::Enumerate() {
    const fs::path classDir = sysRoot_ / "class" / "tty";
    std::error_code ec;
    fs::directory_iterator it(classDir, ec);
    if (ec) return std::nullopt;
    std::vector<std::string> ttys;
    while (it != fs::directory_iterator()) {
        ttys.push_back(it->path().filename().string());
        it.increment(ec);
        if (ec) return std::nullopt;
    }
    std::sort(ttys.begin(), ttys.end(), [](const std::string& a, const std::string& b) {
        return NaturalKey(a) < NaturalKey(b);
    });

    std::vector<std::optional<std::u16string>> devices;
    for (const std::string& tty : ttys) {
        const fs::path ttyDir = classDir / tty;
        const fs::path deviceLink = ttyDir / "device";
        // Virtual terminals, pseudo terminals and the console have no device behind them.
        if (!fs::exists(deviceLink, ec)) continue;
        // A serial port slot without a UART (type 0, "unknown") is not a usable port.
        if (ReadFirstLine(ttyDir / "type") == "0") continue;
        std::string product = UdevProduct(ttyDir, udevDataDir_);
        if (product.empty()) product = UsbProduct(deviceLink, sysRoot_);
        if (product.empty()) product = "Serial Port";
        devices.emplace_back(Utf8ToUtf16(product + " (/dev/" + tty + ")"));
    }
    return devices;
}

PortEnumerator& SystemPortEnumerator() {
    static SysfsPortEnumerator enumerator;
    return enumerator;
}

}  // namespace merel
