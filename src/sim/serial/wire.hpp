// Little-endian byte encoding of fixed-width values, and a bounds-checked
// reader for untrusted input: every read and every count is checked against
// the bytes that remain before anything is allocated.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "sim/result.hpp"

namespace vantelo::sim::wire {

class Writer {
public:
    void u8(std::uint8_t v) { bytes_.push_back(v); }
    void u16(std::uint16_t v) { put(v, 2); }
    void u32(std::uint32_t v) { put(v, 4); }
    void u64(std::uint64_t v) { put(v, 8); }
    // The bit pattern, so NaN payloads and signed zeros survive.
    void f32(float v) { u32(std::bit_cast<std::uint32_t>(v)); }
    // Byte by byte: a range insert into the empty vector of a fresh writer
    // trips a false -Wstringop-overflow in g++ 12.
    void bytes(std::span<const std::uint8_t> data) {
        for (std::uint8_t b : data) bytes_.push_back(b);
    }

    std::vector<std::uint8_t> take() && { return std::move(bytes_); }

private:
    void put(std::uint64_t v, int width) {
        for (int i = 0; i < width; ++i) bytes_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    std::vector<std::uint8_t> bytes_;
};

class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> data) : data_(data) {}

    Result<std::uint8_t> u8();
    Result<std::uint16_t> u16();
    Result<std::uint32_t> u32();
    Result<std::uint64_t> u64();
    Result<float> f32();
    Result<std::string> text(std::size_t length);

    // A count of items that each take at least min_item_bytes: refused when
    // the remaining bytes cannot hold that many, so it is safe to reserve.
    Result<std::size_t> count(std::uint64_t value, std::size_t min_item_bytes) const;

    std::size_t remaining() const { return data_.size() - pos_; }

private:
    Result<std::uint64_t> get(std::size_t width);
    std::span<const std::uint8_t> data_;
    std::size_t pos_ = 0;
};

}  // namespace vantelo::sim::wire
