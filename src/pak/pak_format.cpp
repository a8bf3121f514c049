#include "pak_format.h"

#include <cstring>
#include <string>

#include "open_file.h"

std::int32_t le32(std::int32_t value)
{
    // Reading the bytes in memory order and assembling them little-endian
    // is the identity on a little-endian host and a byte swap elsewhere.
    std::array<unsigned char, 4> bytes{};
    std::memcpy(bytes.data(), &value, bytes.size());
    const std::uint32_t assembled = static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8U |
                                    static_cast<std::uint32_t>(bytes[2]) << 16U |
                                    static_cast<std::uint32_t>(bytes[3]) << 24U;
    std::int32_t result = 0;
    std::memcpy(&result, &assembled, sizeof result);
    return result;
}

namespace {

void entry_to_host(pak_entry& entry)
{
    entry.file_offset = le32(entry.file_offset);
    entry.file_length = le32(entry.file_length);
}

// Refuses a directory whose entries could not all be read from offsets an
// archive can have, or that would read the header as entries.
void check_directory_bounds(const checked_file& archive, const pak_header& header, std::int32_t count,
                            std::int32_t capacity)
{
    if (count > capacity) {
        fatal_error("Archive %s lists %d members, more than the %d it may hold", archive.path, count, capacity);
    }
    if (header.dir_offset < 0) {
        fatal_error("Damaged archive %s: the directory starts at negative offset %d", archive.path,
                    header.dir_offset);
    }
    if (header.dir_offset < PAK_HEADER_SIZE) {
        fatal_error("Damaged archive %s: the directory overlaps the header", archive.path);
    }
    const std::int64_t last_entry =
        static_cast<std::int64_t>(header.dir_offset) + static_cast<std::int64_t>(PAK_ENTRY_SIZE) * (count - 1);
    if (last_entry > MAX_FILE_SIZE) {
        fatal_error("Damaged archive %s: the directory reaches past offset %lld", archive.path,
                    static_cast<long long>(MAX_FILE_SIZE));
    }
}

} // namespace

std::int32_t archive_length(const checked_file& archive)
{
    const std::int64_t length = file_length(archive);
    if (length > MAX_FILE_SIZE) {
        fatal_error("File %s is too large: %lld bytes, more than the %lld a pak file can address", archive.path,
                    static_cast<long long>(length), static_cast<long long>(MAX_FILE_SIZE));
    }
    return static_cast<std::int32_t>(length);
}

pak_header read_pak_header(const checked_file& archive)
{
    pak_header header{};
    const std::int32_t length = read_up_to(archive, 0, &header, PAK_HEADER_SIZE);
    if (length != PAK_HEADER_SIZE) {
        fail_short_file(archive.path, length,
                        "shorter than its " + std::to_string(PAK_HEADER_SIZE) + "-byte header");
    }
    header.dir_offset = le32(header.dir_offset);
    header.dir_length = le32(header.dir_length);
    return header;
}

pak_header read_archive_header(const checked_file& archive)
{
    const pak_header header = read_pak_header(archive);
    if (header.magic != PAK_MAGIC) {
        fatal_error("Damaged archive %s: it is not a pak file", archive.path);
    }
    if (header.dir_length < 0) {
        fatal_error("Damaged archive %s: the directory has negative length %d", archive.path, header.dir_length);
    }
    return header;
}

std::int32_t read_directory_at(const checked_file& archive, const pak_header& header, std::int32_t capacity,
                               pak_directory& directory)
{
    directory.capacity = capacity;
    const std::int32_t count = header.dir_length / PAK_ENTRY_SIZE;
    directory.count = 0;
    if (count <= 0) {
        return 0;
    }
    check_directory_bounds(archive, header, count, directory.capacity);
    const std::int64_t dir_end = static_cast<std::int64_t>(header.dir_offset) + std::int64_t{PAK_ENTRY_SIZE} * count;
    const std::int64_t length = file_length(archive);
    if (dir_end > length) {
        fail_short_file(archive.path, length, "but its directory ends at byte " + std::to_string(dir_end));
    }
    read_exact(archive, header.dir_offset, directory.entries.data(), count * PAK_ENTRY_SIZE);
    for (std::int32_t i = 0; i < count; ++i) {
        pak_entry& entry = directory.entries[static_cast<std::size_t>(i)];
        entry_to_host(entry);
        if (std::memchr(entry.name.data(), '\0', entry.name.size()) == nullptr) {
            fatal_error("Damaged archive %s: the name of member %d is not terminated within its %d bytes",
                        archive.path, i + 1, PAK_NAME_SIZE);
        }
    }
    directory.count = count;
    return count;
}

std::int32_t read_pak_directory(const checked_file& archive, std::int32_t capacity, pak_directory& directory)
{
    return read_directory_at(archive, read_archive_header(archive), capacity, directory);
}

bool names_match(const char* a, const char* b)
{
    const auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    for (;; ++a, ++b) {
        if (fold(*a) != fold(*b)) {
            return false;
        }
        if (*a == '\0') {
            return true;
        }
    }
}

bool read_raw_header(const checked_file& archive, pak_header& raw)
{
    return read_up_to(archive, 0, &raw, PAK_HEADER_SIZE) == PAK_HEADER_SIZE;
}

const char* archive_fault(const checked_file& archive)
{
    const std::int32_t length = archive_length(archive);
    pak_header raw{};
    if (!read_raw_header(archive, raw)) {
        return "is shorter than an archive header";
    }
    if (raw.magic != PAK_MAGIC || le32(raw.dir_length) < 0) {
        return "is not a pak file";
    }
    const std::int32_t count = le32(raw.dir_length) / PAK_ENTRY_SIZE;
    const std::int64_t dir_offset = le32(raw.dir_offset);
    const std::int64_t dir_end = dir_offset + static_cast<std::int64_t>(PAK_ENTRY_SIZE) * count;
    if (count > 0 && (dir_offset < 0 || dir_end > length)) {
        return "has its directory outside the file";
    }
    return nullptr;
}

bool same_directory_place(const pak_header& a, const pak_header& b)
{
    return a.dir_offset == b.dir_offset && a.dir_length == b.dir_length;
}
