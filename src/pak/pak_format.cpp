#include <cstring>

#include "pak_format.h"

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
    read_exact(archive, 0, &header, PAK_HEADER_SIZE);
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

std::int32_t read_directory_at(const checked_file& archive, const pak_header& header, pak_directory& directory)
{
    const std::int32_t count = header.dir_length / PAK_ENTRY_SIZE;
    directory.count = 0;
    if (count <= 0) {
        return 0;
    }
    check_directory_bounds(archive, header, count, directory.capacity);
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

std::int32_t read_pak_directory(const checked_file& archive, pak_directory& directory)
{
    return read_directory_at(archive, read_archive_header(archive), directory);
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

namespace {

// The first 12 bytes as they lie in the file, or false for a shorter file.
bool read_raw_header(const checked_file& archive, pak_header& raw)
{
    return read_up_to(archive, 0, &raw, PAK_HEADER_SIZE) == PAK_HEADER_SIZE;
}

rewrite_stage stage_marked_in(const pak_header& raw)
{
    if (raw.magic == REWRITE_MARK) {
        return rewrite_stage::rewriting;
    }
    return raw.magic == COMPLETE_MARK ? rewrite_stage::data_complete : rewrite_stage::none;
}

} // namespace

const char* archive_fault(const checked_file& archive)
{
    const std::int32_t length = archive_length(archive);
    pak_header raw{};
    if (!read_raw_header(archive, raw)) {
        return "is shorter than an archive header";
    }
    if (stage_marked_in(raw) != rewrite_stage::none) {
        return "is itself an archive left half-written";
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

bool mark_fits_length(const pak_header& final_header, std::int32_t length)
{
    return final_header.dir_offset >= PAK_HEADER_SIZE && final_header.dir_length >= 0 &&
           final_header.dir_length <= OUTPUT_DIRECTORY_SIZE &&
           static_cast<std::int64_t>(final_header.dir_offset) + OUTPUT_DIRECTORY_SIZE == length;
}

rewrite_stage read_rewrite_stage(const checked_file& target, pak_header& final_header)
{
    pak_header raw{};
    if (!read_raw_header(target, raw)) {
        return rewrite_stage::none;
    }
    final_header = {PAK_MAGIC, le32(raw.dir_offset), le32(raw.dir_length)};
    return stage_marked_in(raw);
}

void put_target_magic(const checked_file& target, rewrite_stage stage)
{
    std::array<char, 4> magic = PAK_MAGIC;
    if (stage == rewrite_stage::rewriting) {
        magic = REWRITE_MARK;
    } else if (stage == rewrite_stage::data_complete) {
        magic = COMPLETE_MARK;
    }
    write_exact(target, 0, magic.data(), static_cast<std::int32_t>(magic.size()));
}

void write_target_magic(const checked_file& target, rewrite_stage stage)
{
    put_target_magic(target, stage);
    flush_to_disk(target);
}

namespace {

struct rewrite_record_on_disk {
    std::array<char, 4> tag;
    std::int32_t original_length;
    std::int32_t original_dir_offset;
    std::int32_t original_dir_length;
    std::int32_t update_length;
    std::int32_t zero;
    std::array<std::int32_t, 2> original_directory;
    std::array<std::int32_t, 2> update;
    std::array<std::int32_t, 2> check;
};
static_assert(sizeof(rewrite_record_on_disk) == REWRITE_RECORD_SIZE, "record is 48 bytes on disk");
static_assert(offsetof(rewrite_record_on_disk, original_directory) == 24, "fingerprints at byte 24");
static_assert(offsetof(rewrite_record_on_disk, check) == 40, "check at byte 40");

constexpr std::array<char, 4> RECORD_TAG = {'T', 'W', 'j', 'r'};

std::array<std::int32_t, 2> split_le(std::uint64_t value)
{
    return {le32(static_cast<std::int32_t>(static_cast<std::uint32_t>(value))),
            le32(static_cast<std::int32_t>(static_cast<std::uint32_t>(value >> 32U)))};
}

std::uint64_t joined_le(const std::array<std::int32_t, 2>& halves)
{
    return static_cast<std::uint64_t>(static_cast<std::uint32_t>(le32(halves[0]))) |
           static_cast<std::uint64_t>(static_cast<std::uint32_t>(le32(halves[1]))) << 32U;
}

std::uint64_t record_check(const rewrite_record_on_disk& disk)
{
    return fingerprint_of_bytes(&disk, offsetof(rewrite_record_on_disk, check));
}

} // namespace

rewrite_record original_record(const checked_file& original, const pak_header& original_header)
{
    const std::int32_t count = original_header.dir_length / PAK_ENTRY_SIZE;
    const std::int64_t directory_size = count > 0 ? static_cast<std::int64_t>(count) * PAK_ENTRY_SIZE : 0;
    return {archive_length(original),
            original_header.dir_offset,
            original_header.dir_length,
            0,
            fingerprint_of(original, original_header.dir_offset, directory_size),
            0};
}

rewrite_record record_for(const checked_file& original, const pak_header& original_header,
                          const checked_file& update)
{
    rewrite_record record = original_record(original, original_header);
    record.update_length = archive_length(update);
    record.update = fingerprint_of(update, 0, record.update_length);
    return record;
}

bool same_original(const rewrite_record& a, const rewrite_record& b)
{
    return a.original_length == b.original_length && a.original_dir_offset == b.original_dir_offset &&
           a.original_dir_length == b.original_dir_length && a.original_directory == b.original_directory;
}

bool same_update(const rewrite_record& a, const rewrite_record& b)
{
    return a.update_length == b.update_length && a.update == b.update;
}

void append_rewrite_record(const checked_file& target, std::int64_t at, const rewrite_record& record)
{
    rewrite_record_on_disk disk{RECORD_TAG,
                                le32(record.original_length),
                                le32(record.original_dir_offset),
                                le32(record.original_dir_length),
                                le32(record.update_length),
                                0,
                                split_le(record.original_directory),
                                split_le(record.update),
                                {}};
    disk.check = split_le(record_check(disk));
    write_exact(target, at, &disk, REWRITE_RECORD_SIZE);
    flush_to_disk(target);
}

bool read_rewrite_record(const checked_file& target, rewrite_record& record)
{
    const std::int64_t length = file_length(target);
    rewrite_record_on_disk disk{};
    if (length < PAK_HEADER_SIZE + REWRITE_RECORD_SIZE ||
        read_up_to(target, length - REWRITE_RECORD_SIZE, &disk, REWRITE_RECORD_SIZE) != REWRITE_RECORD_SIZE ||
        disk.tag != RECORD_TAG || joined_le(disk.check) != record_check(disk)) {
        return false;
    }
    record = {le32(disk.original_length),  le32(disk.original_dir_offset), le32(disk.original_dir_length),
              le32(disk.update_length),    joined_le(disk.original_directory), joined_le(disk.update)};
    return true;
}
