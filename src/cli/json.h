// A writer for one flat JSON object: what `--json` prints for each command.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace merel::cli {

class JsonObject {
  public:
    JsonObject& Add(std::string_view key, std::string_view value);
    JsonObject& Add(std::string_view key, const char* value) {
        return Add(key, std::string_view(value));
    }
    JsonObject& Add(std::string_view key, bool value);
    JsonObject& Add(std::string_view key, long long value);
    JsonObject& AddNumber(std::string_view key, double value);
    JsonObject& Add(std::string_view key, const std::vector<std::string>& values);
    JsonObject& AddNull(std::string_view key);
    // `json` must be JSON text already (an array of objects, say).
    JsonObject& AddRaw(std::string_view key, std::string_view json);
    // Adds the members of `other` after these.
    JsonObject& Append(const JsonObject& other);

    std::string Text() const;

  private:
    void Key(std::string_view key);
    std::string members_;
};

// `text` (UTF-8) as a JSON string literal, quotes included.
std::string JsonString(std::string_view text);

}  // namespace merel::cli
