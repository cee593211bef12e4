// JSON Lines output of the batch commands: one object per line, always valid UTF-8. Names and
// texts from the file system are not always valid UTF-8; they are written so that the exact
// bytes can be recovered: a byte that is not part of valid UTF-8 becomes the escape \udcXX (XX
// its value), as Python's "surrogateescape" reads it, and on Windows an unpaired UTF-16
// surrogate becomes its own \uXXXX escape. Every other escape is the JSON library's.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

// The JSON string literal, quotes included, of a path.
std::string json_path(const std::filesystem::path& path);

// The same for a text in the system's narrow form (file names, error messages naming them).
std::string json_text(const std::string& narrow);

// One object, its members in the order they are added.
class JsonLine {
  public:
    // A member whose value the JSON library writes (numbers, booleans, our own ASCII words).
    template <class Value>
    JsonLine& value(std::string_view key, const Value& value) {
        return literal(key, nlohmann::json(value).dump());
    }
    JsonLine& path(std::string_view key, const std::filesystem::path& path) {
        return literal(key, json_path(path));
    }
    JsonLine& text(std::string_view key, const std::string& narrow) {
        return literal(key, json_text(narrow));
    }
    // An array of system texts.
    JsonLine& texts(std::string_view key, const std::vector<std::string>& narrow);

    // The object, without a line break.
    std::string str() const { return members + "}"; }

  private:
    JsonLine& literal(std::string_view key, const std::string& json);
    std::string members = "{";
};
