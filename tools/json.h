// The JSON that --json prints (json.cpp): one object a line, built field by
// field. Plain text, no winmm: tested directly.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tools {

// "text" with the characters JSON escapes escaped.
std::string JsonString(const std::string& text);

class JsonObject {
  public:
    JsonObject& Add(const std::string& key, const std::string& value);
    JsonObject& Add(const std::string& key, const char* value) {
        return Add(key, std::string(value));
    }
    JsonObject& Add(const std::string& key, int64_t value);
    JsonObject& Add(const std::string& key, uint64_t value);
    JsonObject& Add(const std::string& key, unsigned value) { return Add(key, uint64_t(value)); }
    JsonObject& Add(const std::string& key, int value) { return Add(key, int64_t(value)); }
    JsonObject& Add(const std::string& key, double value);
    JsonObject& Add(const std::string& key, bool value);
    JsonObject& Add(const std::string& key, const JsonObject& value);
    JsonObject& Add(const std::string& key, const std::vector<JsonObject>& values);
    JsonObject& AddNull(const std::string& key);
    std::string Text() const { return "{" + fields_ + "}"; }

  private:
    JsonObject& Raw(const std::string& key, const std::string& json);
    std::string fields_;
};

}  // namespace tools
