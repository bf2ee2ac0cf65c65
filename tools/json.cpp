// JSON text for --json.
#include "tools/json.h"

#include <cmath>
#include <cstdio>

namespace tools {

std::string JsonString(const std::string& text) {
    std::string s = "\"";
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            s += '\\';
            s += c;
        } else if (u < 0x20) {
            char b[8];
            std::snprintf(b, sizeof b, "\\u%04x", u);
            s += b;
        } else {
            s += c;
        }
    }
    return s + "\"";
}

JsonObject& JsonObject::Raw(const std::string& key, const std::string& json) {
    if (!fields_.empty()) fields_ += ",";
    fields_ += JsonString(key) + ":" + json;
    return *this;
}

JsonObject& JsonObject::Add(const std::string& key, const std::string& value) {
    return Raw(key, JsonString(value));
}

JsonObject& JsonObject::Add(const std::string& key, int64_t value) {
    return Raw(key, std::to_string(value));
}

JsonObject& JsonObject::Add(const std::string& key, uint64_t value) {
    return Raw(key, std::to_string(value));
}

JsonObject& JsonObject::Add(const std::string& key, double value) {
    if (!std::isfinite(value)) return AddNull(key);
    char b[32];
    std::snprintf(b, sizeof b, "%.3f", value);
    return Raw(key, b);
}

JsonObject& JsonObject::Add(const std::string& key, bool value) {
    return Raw(key, value ? "true" : "false");
}

JsonObject& JsonObject::Add(const std::string& key, const JsonObject& value) {
    return Raw(key, value.Text());
}

JsonObject& JsonObject::Add(const std::string& key, const std::vector<JsonObject>& values) {
    std::string list = "[";
    for (size_t i = 0; i < values.size(); ++i)
        list += (i ? "," : "") + values[i].Text();
    return Raw(key, list + "]");
}

JsonObject& JsonObject::AddNull(const std::string& key) {
    return Raw(key, "null");
}

}  // namespace tools
