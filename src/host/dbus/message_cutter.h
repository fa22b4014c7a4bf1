// The bus library reads each incoming message whole into memory before any check of ours sees
// it, so one caller's message of tens of megabytes would cost the server as much. The cutter
// reads the stream from the bus first, as it arrives, and passes on only what the library may
// hold:
// - a message whose body is at most kLargestWholeBody bytes, untouched;
// - a larger one made of plain values (numbers and strings, as every call of ours is): with
//   each string longer than host::kLongestArrivingString cut to that length, so that the
//   handler still refuses it by name and limit;
// - a larger one of any other shape: without its body, so that the library answers that its
//   arguments are invalid;
// - one whose header alone is over kLargestHeaderFields bytes, or does not parse: not at all.
// The library must not negotiate the passing of descriptors: the cutter passes bytes only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace merel::dbus {

inline constexpr std::size_t kLargestWholeBody = 64 * 1024;
inline constexpr std::size_t kLargestHeaderFields = 64 * 1024;
// A cut body larger than this (many long strings) loses its body instead.
inline constexpr std::size_t kLargestCutBody = 256 * 1024;

class MessageCutter {
  public:
    // Appends to `out` what the library is to read of the next bytes `in` from the bus. False
    // when the stream is not a bus's: the connection is then to be closed.
    bool Feed(std::string_view in, std::string& out);

  private:
    enum class Phase { kGreeting, kHeader, kPass, kCut, kDrop };

    // Rebuilds the values of a plain body as they arrive, each string cut to its longest.
    class BodyCutter {
      public:
        BodyCutter(std::string_view signature, bool bigEndian)
            : signature_(signature), bigEndian_(bigEndian) {}
        void Take(std::string_view in);
        // The rebuilt body; nothing when the bytes did not follow the signature.
        std::optional<std::string> Finish();

      private:
        enum class Step { kNextValue, kPadding, kFixed, kKeep, kSkip, kEnd };
        void Advance();

        std::string signature_;
        bool bigEndian_;
        std::size_t next_ = 0;  // the signature's next type
        std::uint64_t taken_ = 0;
        Step step_ = Step::kNextValue;
        std::uint64_t left_ = 0;  // bytes until the step ends
        std::size_t valueSize_ = 0;
        std::string value_;
        std::uint64_t skipAfter_ = 0;
        std::string body_;
        bool failed_ = false;
    };

    bool HeaderTaken(std::string& out);
    void EndCut(std::string& out);

    Phase phase_ = Phase::kGreeting;
    std::string line_;    // of the greeting
    std::string header_;  // fixed part and fields, padded
    std::uint64_t headerSize_ = 16;
    std::uint64_t bodyLeft_ = 0;
    std::optional<BodyCutter> cutter_;
};

}  // namespace merel::dbus
