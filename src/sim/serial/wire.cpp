#include "sim/serial/wire.hpp"

#include "sim/messages.hpp"

namespace vantelo::sim::wire {

Result<std::uint64_t> Reader::get(std::size_t width) {
    if (remaining() < width) return fail(msg::pickle_truncated());
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < width; ++i) v |= std::uint64_t{data_[pos_ + i]} << (8 * i);
    pos_ += width;
    return v;
}

Result<std::uint8_t> Reader::u8() {
    VANTELO_ASSIGN_OR_RETURN(const std::uint64_t v, get(1));
    return static_cast<std::uint8_t>(v);
}
Result<std::uint16_t> Reader::u16() {
    VANTELO_ASSIGN_OR_RETURN(const std::uint64_t v, get(2));
    return static_cast<std::uint16_t>(v);
}
Result<std::uint32_t> Reader::u32() {
    VANTELO_ASSIGN_OR_RETURN(const std::uint64_t v, get(4));
    return static_cast<std::uint32_t>(v);
}
Result<std::uint64_t> Reader::u64() { return get(8); }

Result<float> Reader::f32() {
    VANTELO_ASSIGN_OR_RETURN(const std::uint32_t v, u32());
    return std::bit_cast<float>(v);
}

Result<std::string> Reader::text(std::size_t length) {
    if (remaining() < length) return fail(msg::pickle_truncated());
    std::string out(reinterpret_cast<const char*>(data_.data() + pos_), length);
    pos_ += length;
    return out;
}

Result<std::size_t> Reader::count(std::uint64_t value, std::size_t min_item_bytes) const {
    if (min_item_bytes != 0 && value > remaining() / min_item_bytes) return fail(msg::pickle_truncated());
    return static_cast<std::size_t>(value);
}

}  // namespace vantelo::sim::wire
