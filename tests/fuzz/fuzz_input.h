// The fuzzer's bytes read as a stream of small values; reads past the end give zeros, so every
// input decodes to something.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace merel::fuzz {

class FuzzInput {
  public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool Empty() const { return pos_ >= size_; }
    std::uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint16_t Unit() { return static_cast<std::uint16_t>(Byte() | Byte() << 8); }
    std::int32_t Int32() {
        return static_cast<std::int32_t>(std::uint32_t{Unit()} | std::uint32_t{Unit()} << 16);
    }

    // A string of UTF-16 units: a two-byte length, then as many little-endian units as remain
    // up to that length.
    std::u16string String() {
        const std::size_t length = Unit();
        std::u16string out;
        while (out.size() < length && !Empty()) out.push_back(static_cast<char16_t>(Unit()));
        return out;
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// A broken property ends the run with a crash report and the input that caused it.
inline void Require(bool property) {
    if (!property) std::abort();
}

}  // namespace merel::fuzz
