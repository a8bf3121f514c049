// A fast 64-bit fingerprint of a file's bytes: four lanes of 64-bit words,
// each multiplied and rotated as xxHash's rounds do, then folded. It tells
// apart files that differ, not files made to collide; nothing here needs
// more. Words are assembled little-endian, so every host gets one value.
// The chunk buffers that copies, read-backs and fingerprints share stand
// here, below the copies that use them.
#include <array>
#include <cstdint>
#include <numeric>

#include "copies.h"
#include "open_file.h"

namespace {

// Fixed, and never more: comparing a 2 GiB archive costs no more memory
// than comparing a small one.
std::array<std::array<unsigned char, COPY_CHUNK_SIZE>, 2> buffers;

constexpr std::uint64_t PRIME_1 = 0x9E3779B185EBCA87ULL;
constexpr std::uint64_t PRIME_2 = 0xC2B2AE3D27D4EB4FULL;
constexpr std::size_t LANES = 4;
constexpr std::size_t STRIPE = LANES * 8;
// Every read but the last then ends at the end of a stripe, and the value
// does not depend on the chunk size.
static_assert(COPY_CHUNK_SIZE % STRIPE == 0, "a chunk holds whole stripes");

std::uint64_t rotate_left(std::uint64_t value, unsigned bits)
{
    return (value << bits) | (value >> (64U - bits));
}

// Written out whole, so that the compiler sees one load (and a byte swap
// on a big-endian host).
std::uint64_t word_at(const unsigned char* bytes)
{
    return static_cast<std::uint64_t>(bytes[0]) | static_cast<std::uint64_t>(bytes[1]) << 8U |
           static_cast<std::uint64_t>(bytes[2]) << 16U | static_cast<std::uint64_t>(bytes[3]) << 24U |
           static_cast<std::uint64_t>(bytes[4]) << 32U | static_cast<std::uint64_t>(bytes[5]) << 40U |
           static_cast<std::uint64_t>(bytes[6]) << 48U | static_cast<std::uint64_t>(bytes[7]) << 56U;
}

std::uint64_t round_of(std::uint64_t accumulated, std::uint64_t input)
{
    return rotate_left(accumulated + input * PRIME_2, 31) * PRIME_1;
}

} // namespace

void add_to_fingerprint(fingerprint_state& state, const void* bytes, std::size_t count)
{
    const auto* data = static_cast<const unsigned char*>(bytes);
    std::size_t at = 0;
    for (; at + STRIPE <= count; at += STRIPE) {
        for (std::size_t lane = 0; lane < LANES; ++lane) {
            state.lanes[lane] = round_of(state.lanes[lane], word_at(data + at + 8 * lane));
        }
    }
    for (; at < count; ++at) {
        state.tail = rotate_left((state.tail ^ data[at]) * PRIME_1, 11);
    }
}

fingerprint_state start_fingerprint(std::int64_t length)
{
    // The length goes in first, so that files that differ only in trailing
    // bytes that leave the lanes alone still differ.
    return {{PRIME_1, PRIME_2, ~PRIME_1, ~PRIME_2}, (static_cast<std::uint64_t>(length) * PRIME_2) ^ PRIME_1};
}

std::uint64_t fingerprint_value(const fingerprint_state& state)
{
    const std::uint64_t value = std::accumulate(state.lanes.begin(), state.lanes.end(), state.tail, round_of);
    return value ^ (value >> 29U);
}

std::uint64_t fingerprint_of_bytes(const void* bytes, std::size_t count)
{
    fingerprint_state state = start_fingerprint(static_cast<std::int64_t>(count));
    add_to_fingerprint(state, bytes, count);
    return fingerprint_value(state);
}

std::uint64_t fingerprint_of(const checked_file& file, std::int64_t offset, std::int64_t length)
{
    fingerprint_state state = start_fingerprint(length);
    unsigned char* chunk = shared_buffer(0);
    for_each_chunk(0, length, COPY_CHUNK_SIZE, [&](std::int64_t at, std::int32_t count) {
        read_exact(file, offset + at, chunk, count);
        add_to_fingerprint(state, chunk, static_cast<std::size_t>(count));
        return true;
    });
    return fingerprint_value(state);
}

unsigned char* shared_buffer(int which)
{
    return buffers[static_cast<std::size_t>(which)].data();
}
