// The fields of the program's own binary files: little-endian 64-bit integers and texts that carry
// their length, written into a string and read back with every length checked against the data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class ByteWriter {
  public:
    ByteWriter& u64(std::uint64_t value) {
        for (int i = 0; i < 8; ++i) bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
        return *this;
    }
    ByteWriter& text(std::string_view value) {
        u64(value.size());
        bytes.append(value);
        return *this;
    }
    ByteWriter& raw(std::string_view value) {
        bytes.append(value);
        return *this;
    }

    const std::string& str() const { return bytes; }
    std::string take() { return std::move(bytes); }

  private:
    std::string bytes;
};

// Reads fields in order. The first field that does not fit in what is left fails, and so does
// every read after it: one check of ok() at the end covers the lot.
class ByteReader {
  public:
    explicit ByteReader(std::string_view data) : data(data) {}

    bool u64(std::uint64_t& value) {
        std::string_view field;
        if (!raw(8, field)) return false;
        value = 0;
        for (int i = 0; i < 8; ++i) {
            value |= static_cast<std::uint64_t>(static_cast<unsigned char>(field[i])) << (8 * i);
        }
        return true;
    }
    bool text(std::string_view& value) {
        std::uint64_t length = 0;
        return u64(length) && raw(length, value);
    }
    bool raw(std::uint64_t length, std::string_view& value) {
        if (!intact || length > data.size() - at) return intact = false;
        value = data.substr(at, static_cast<std::size_t>(length));
        at += static_cast<std::size_t>(length);
        return true;
    }

    bool ok() const { return intact; }
    std::size_t position() const { return at; }
    std::size_t remaining() const { return data.size() - at; }

  private:
    std::string_view data;
    std::size_t at = 0;
    bool intact = true;
};
