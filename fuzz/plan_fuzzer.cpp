// libFuzzer harness for the run's start decision. Each input is four
// choices and an archive pair (fuzz_input.h): the original O and the update
// U. From them the harness lays out in a private folder what a stop may have
// left: the target at its stage (an archive, O or O updated; marked with O
// behind the mark; cut short while rewritten, with its record present,
// absent, damaged or naming another update; rewritten whole under the mark;
// complete; the mark's or the magic's write torn), a backup that is O,
// missing, another archive or a stale one, update.pak that is U, missing or
// another update, and perhaps a killed run's temporary backup. Then the real
// make_plan runs in process.
//
// Its start point, with the first byte a rewrite writes or the standing of
// a complete target's backup, or its refusal, is checked against a model
// written here from the journal's table of states (src/journal/journal.h) and
// the format model the tests share (tests/pak_model.h). A plan changes
// nothing, so every file must hold afterwards what it held before.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz_fatal_error.h"
#include "fuzz_harness.h"
#include "fuzz_input.h"
#include "pak_model.h"
#include "plan.h"

namespace {

using fuzz::descriptor_set;
using fuzz::harness_failure;
using fuzz::open_descriptors;
using fuzz::write_whole_file;

constexpr char TARGET_NAME[] = "target.pak";
constexpr char BACKUP_NAME[] = "target.bak";
constexpr char TEMP_BACKUP_NAME[] = "target.bak.tarnwick-new";
constexpr char RECORD_SCRATCH[] = "record.scratch";
constexpr std::size_t CHOICE_BYTES = 4;
constexpr std::int64_t FULL_DIRECTORY = std::int64_t{pakmodel::kEntrySize} * pakmodel::kMaxEntries;

// Keeps the runs small: a merge result is at least a 256 KiB directory.
constexpr std::int64_t MAX_MODEL_OUTPUT = std::int64_t{4} * 1024 * 1024;

constexpr std::string_view REWRITE_MARK_TEXT(REWRITE_MARK.data(), REWRITE_MARK.size());
constexpr std::string_view COMPLETE_MARK_TEXT(COMPLETE_MARK.data(), COMPLETE_MARK.size());
constexpr std::string_view MAGIC_TEXT("PACK", 4);

// Where the product's notes on standard error go.
std::FILE* quiet = nullptr;

std::optional<std::string> read_whole_file(const char* path)
{
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    struct stat status {};
    std::string bytes;
    if (::fstat(fd, &status) == 0) {
        bytes.reserve(static_cast<std::size_t>(status.st_size));
    }
    std::array<char, 65536> buffer;
    for (;;) {
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got < 0) {
            harness_failure("cannot read", path);
        }
        if (got == 0) {
            break;
        }
        bytes.append(buffer.data(), static_cast<std::size_t>(got));
    }
    (void)::close(fd);
    return bytes;
}

void place_file(const char* path, const std::optional<std::string>& bytes)
{
    if (bytes) {
        write_whole_file(path, *bytes);
    } else {
        (void)::unlink(path);
    }
}

// ---- The model -------------------------------------------------------------

std::string with_magic(std::string bytes, std::string_view magic)
{
    return bytes.replace(0, 4, magic);
}

// The target as it reads once finished: the magic in place of its first
// four bytes. Made in one buffer kept for every run: an archive the tool
// wrote holds a 256 KiB directory, and the sanitizer allocator maps every
// block that large afresh, which cost more than the run itself.
const std::string& finished_form(const std::string& target)
{
    static std::string finished;
    finished.assign(target);
    finished.replace(0, 4, MAGIC_TEXT);
    return finished;
}

std::int32_t dir_offset_of(const std::string& archive)
{
    return pakmodel::get_le32(archive, 4);
}

std::int32_t dir_length_of(const std::string& archive)
{
    return pakmodel::get_le32(archive, 8);
}

bool same_place(const std::string& a, const std::string& b)
{
    return a.compare(4, 8, b, 4, 8) == 0;
}

// The directory of an archive as a reader of directories alone takes it:
// the entries in the file, each name ended within its field; where the
// members lie is not looked at. Nothing where the directory cannot be read.
std::optional<std::vector<pakmodel::model_entry>> directory_of(const std::string& archive, std::int32_t capacity)
{
    if (archive.size() < static_cast<std::size_t>(pakmodel::kHeaderSize)) {
        return std::nullopt;
    }
    const std::int64_t offset = dir_offset_of(archive);
    const std::int32_t count = dir_length_of(archive) / pakmodel::kEntrySize;
    std::vector<pakmodel::model_entry> entries;
    if (dir_length_of(archive) < 0) {
        return std::nullopt;
    }
    if (count == 0) {
        return entries;
    }
    if (count > capacity || offset < pakmodel::kHeaderSize ||
        offset + std::int64_t{pakmodel::kEntrySize} * count > static_cast<std::int64_t>(archive.size())) {
        return std::nullopt;
    }
    for (std::int32_t i = 0; i < count; ++i) {
        const auto at = static_cast<std::size_t>(offset) + static_cast<std::size_t>(i) * pakmodel::kEntrySize;
        const std::size_t name_end = archive.find('\0', at);
        if (name_end >= at + pakmodel::kNameSize) {
            return std::nullopt;
        }
        entries.push_back({archive.substr(at, name_end - at), pakmodel::get_le32(archive, at + 56),
                           pakmodel::get_le32(archive, at + 60), false});
    }
    return entries;
}

// True when the member's bytes lie inside the archive.
bool inside(const pakmodel::model_entry& member, const std::string& archive)
{
    return member.offset >= 0 && member.length >= 0 &&
           std::int64_t{member.offset} + member.length <= static_cast<std::int64_t>(archive.size());
}

bool same_name_folded(const std::string& a, const std::string& b)
{
    const auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](char x, char y) { return fold(x) == fold(y); });
}

// The result has the shape of a merge of the original with some update:
// the original's members, in order, stand first wherever the result has
// one of the same name and length at the next place (such a member is
// taken as kept, never as the update's), and every original member passed
// over is named by a result member after the kept ones. (An update that
// names every member would fit any result whose names cover the original's;
// the tool does not take that reading, and --undo's tests hold it to that.)
bool shaped_as_merge_of(const std::vector<pakmodel::model_entry>& result,
                        const std::vector<pakmodel::model_entry>& original)
{
    std::size_t kept = 0;
    std::vector<const pakmodel::model_entry*> passed_over;
    for (const auto& member : original) {
        if (kept < result.size() && result[kept].name == member.name && result[kept].length == member.length) {
            ++kept;
        } else {
            passed_over.push_back(&member);
        }
    }
    return std::all_of(passed_over.begin(), passed_over.end(), [&](const pakmodel::model_entry* member) {
        return std::any_of(result.begin() + static_cast<std::ptrdiff_t>(kept), result.end(),
                           [&](const pakmodel::model_entry& u) { return same_name_folded(u.name, member->name); });
    });
}

// Where the merged archive first differs from `original`: past the kept
// members that the result puts exactly where they already are.
std::int64_t first_byte_moved(const pakmodel::merge_plan& plan)
{
    std::int64_t at = pakmodel::kHeaderSize;
    for (const auto& member : plan.entries) {
        if (member.from_update) {
            break;
        }
        if (member.length == 0) {
            continue;
        }
        if (member.offset != at) {
            break;
        }
        at += member.length;
    }
    return at;
}

// True when the last members of `archive` are update's, of the same names,
// lengths and bytes, in order.
bool holds_update(const std::string& archive, const std::vector<pakmodel::model_entry>& members,
                  const std::string& update, const std::vector<pakmodel::model_entry>& update_members)
{
    if (update_members.size() > members.size()) {
        return false;
    }
    const std::size_t first = members.size() - update_members.size();
    for (std::size_t i = 0; i < update_members.size(); ++i) {
        const auto& held = members[first + i];
        const auto& offered = update_members[i];
        // An empty member's offset is never read, and may lie anywhere.
        if (held.name != offered.name || held.length != offered.length ||
            (held.length > 0 && (!inside(held, archive) || !inside(offered, update))) ||
            (held.length > 0 && archive.compare(static_cast<std::size_t>(held.offset), static_cast<std::size_t>(held.length), update,
                            static_cast<std::size_t>(offered.offset), static_cast<std::size_t>(offered.length)) != 0)) {
            return false;
        }
    }
    return true;
}

// The record's proof of the original: the same length, directory place and
// directory bytes.
bool same_original_archive(const std::string& a, const std::string& b)
{
    if (a.size() != b.size() || !same_place(a, b)) {
        return false;
    }
    const std::int32_t count = dir_length_of(a) / pakmodel::kEntrySize;
    if (count <= 0) {
        return true;
    }
    return a.compare(static_cast<std::size_t>(dir_offset_of(a)), static_cast<std::size_t>(count) * 64, b,
                     static_cast<std::size_t>(dir_offset_of(b)), static_cast<std::size_t>(count) * 64) == 0;
}

// The length fits the header as a finished rewrite's: a header, members,
// then the whole directory of 4096 entries.
bool fits_as_finished(const std::string& archive)
{
    const std::int64_t offset = dir_offset_of(archive);
    const std::int32_t length = dir_length_of(archive);
    return offset >= pakmodel::kHeaderSize && length >= 0 && length <= FULL_DIRECTORY &&
           offset + FULL_DIRECTORY == static_cast<std::int64_t>(archive.size());
}

enum class model_stage { archive, rewriting, complete };

// The stage a header's first four bytes stand for, after the table's
// notes (a) and (c): a torn write is read as the stage before it.
model_stage stage_of_target(const std::string& target)
{
    // A file shorter than a header bears no mark.
    if (target.size() < static_cast<std::size_t>(pakmodel::kHeaderSize)) {
        return model_stage::archive;
    }
    const std::string head = target.substr(0, 4);
    if (head == REWRITE_MARK_TEXT) {
        return model_stage::rewriting;
    }
    if (head == COMPLETE_MARK_TEXT) {
        return model_stage::complete;
    }
    if (head == MAGIC_TEXT) {
        return model_stage::archive;
    }
    for (std::size_t i = 0; i < 3; ++i) {
        if (head[i] != MAGIC_TEXT[i] && head[i] != REWRITE_MARK_TEXT[i]) {
            return model_stage::archive;
        }
    }
    switch (head[3]) {
    case 'r':
        return model_stage::rewriting;
    case 'c':
        return model_stage::complete;
    case 'K':
        return fits_as_finished(target) ? model_stage::complete : model_stage::rewriting;
    default:
        return model_stage::archive;
    }
}

struct disk_state {
    std::string target;
    std::optional<std::string> backup;
    std::optional<std::string> update;
    // A valid record at the target's end names the original O and this update.
    std::optional<std::string> recorded_update;
    std::string original;
};

struct expectation {
    bool refused;
    const char* refusal;  // a part of its message, or "" for any refusal
    start_point start;
    backup_standing standing;
    std::int64_t rewrite_from;
};

expectation refusal(const char* part)
{
    return {true, part, start_point::fresh, backup_standing::missing, 0};
}

expectation starts(start_point start, std::int64_t rewrite_from)
{
    return {false, "", start, backup_standing::missing, rewrite_from};
}

expectation expect_archive(const disk_state& disk)
{
    if (!disk.update) {
        return refusal("Error opening update.pak");
    }
    const auto plan = pakmodel::plan_merge(disk.target, *disk.update);
    if (!plan) {
        return refusal("");
    }
    if (plan->output_size == static_cast<std::int64_t>(disk.target.size()) &&
        pakmodel::carry_out(*plan, disk.target, *disk.update).archive == disk.target) {
        return starts(start_point::already_applied, 0);
    }
    return starts(start_point::fresh, first_byte_moved(*plan));
}

// Why the backup cannot be the original of anything, as the table's last
// rewriting row names it, or nullptr.
const char* backup_fault_of(const std::string& backup)
{
    if (stage_of_target(backup) != model_stage::archive) {
        return "its backup target.bak is itself an archive left half-written";
    }
    if (backup.size() < static_cast<std::size_t>(pakmodel::kHeaderSize)) {
        return "its backup target.bak is shorter than an archive header";
    }
    if (backup.compare(0, 4, MAGIC_TEXT) != 0 || dir_length_of(backup) < 0) {
        return "its backup target.bak is not a pak file";
    }
    const std::int64_t count = dir_length_of(backup) / pakmodel::kEntrySize;
    const std::int64_t offset = dir_offset_of(backup);
    if (count > 0 && (offset < 0 || offset + count * pakmodel::kEntrySize > static_cast<std::int64_t>(backup.size()))) {
        return "its backup target.bak has its directory outside the file";
    }
    return nullptr;
}

// What ties a target marked while it was rewritten to its backup, by the
// table's rewriting rows: the record first, then the bytes after the mark,
// then the shape of a finished rewrite, and only then the backup's place.
enum class proof { unchanged, recorded, changed, placed, rewritten_whole, unproven, unreadable };

proof proof_of_original(const disk_state& disk)
{
    const std::string& target = disk.target;
    const std::string& backup = *disk.backup;
    if (disk.recorded_update) {
        if (!same_original_archive(disk.original, backup)) {
            return proof::unproven;
        }
        // The record holds the whole original's fingerprint.
        return backup == disk.original ? proof::recorded : proof::changed;
    }
    if (target.size() == backup.size() && target.compare(4, std::string::npos, backup, 4) == 0) {
        return proof::unchanged;
    }
    if (fits_as_finished(target)) {
        const auto result = directory_of(finished_form(target), pakmodel::kMaxEntries);
        const auto original = directory_of(backup, pakmodel::kMaxEntries);
        if (!result || !original) {
            return proof::unreadable;
        }
        if (shaped_as_merge_of(*result, *original)) {
            return proof::rewritten_whole;
        }
    }
    return same_place(target, backup) ? proof::placed : proof::unproven;
}

// The target is the rewrite of the backup with this update, finished: its
// length, directory place and directory the result's, and update.pak's
// members byte for byte where the result has them. The kept members are
// the backup's to prove, and are not compared.
bool written_with(const std::string& target, const pakmodel::merge_plan& plan, const std::string& result)
{
    if (target.size() != result.size() || !same_place(target, result)) {
        return false;
    }
    std::size_t at = pakmodel::kHeaderSize;
    for (const auto& member : plan.entries) {
        const auto length = static_cast<std::size_t>(member.length);
        if (member.from_update && target.compare(at, length, result, at, length) != 0) {
            return false;
        }
        at += length;
    }
    return target.compare(at, std::string::npos, result, at) == 0;
}

// The plan's pure decision for a stage, given every fact the model found,
// must be the model's: the same start, or a refusal for the same fault.
expectation agreed(const expectation& model, const stage_verdict& verdict)
{
    static const char* const faults[] = {"",
                                         "was changed by another program",
                                         "no longer holds",
                                         "update.pak is not the update it was applying",
                                         "is not the original that update saved",
                                         "its mark does not match its length"};
    const bool same = verdict.next == stage_next::refuse
                          ? model.refused && std::strcmp(model.refusal, faults[static_cast<int>(verdict.refusal)]) == 0
                          : verdict.next == stage_next::start && !model.refused && model.start == verdict.start;
    if (!same) {
        harness_failure("the stage's decision differs from the model's", model.refusal);
    }
    return model;
}

rewrite_proof proof_told(proof found)
{
    switch (found) {
    case proof::unchanged: return rewrite_proof::unchanged;
    case proof::recorded: return rewrite_proof::recorded;
    case proof::changed: return rewrite_proof::changed;
    case proof::placed: return rewrite_proof::placed;
    case proof::rewritten_whole: return rewrite_proof::rewritten_whole;
    case proof::unproven:
    case proof::unreadable: break;
    }
    return rewrite_proof::unproven;
}

expectation expect_rewriting_with_update(const disk_state& disk, proof found, const pakmodel::merge_plan& plan)
{
    const std::string& backup = *disk.backup;
    switch (found) {
    case proof::unchanged:
        return starts(start_point::unmark_then_apply, first_byte_moved(plan));
    case proof::recorded:
        if (*disk.recorded_update != *disk.update) {
            return refusal("update.pak is not the update it was applying");
        }
        return starts(start_point::resume_rewrite, pakmodel::kHeaderSize);
    case proof::placed:
        return starts(start_point::resume_rewrite, pakmodel::kHeaderSize);
    case proof::rewritten_whole:
        return written_with(disk.target, plan, pakmodel::carry_out(plan, backup, *disk.update).archive)
                   ? starts(start_point::resume_rewrite, pakmodel::kHeaderSize)
                   : refusal("no longer holds");
    case proof::unproven:
        return refusal("is not the original that update saved");
    case proof::changed:
    case proof::unreadable:
        break;
    }
    return refusal("");
}

expectation expect_rewriting(const disk_state& disk)
{
    if (!disk.backup) {
        return refusal("its backup target.bak is missing");
    }
    const std::string& backup = *disk.backup;
    if (const char* fault = backup_fault_of(backup)) {
        return refusal(fault);
    }
    const proof found = proof_of_original(disk);
    if (found == proof::unreadable) {
        return refusal("");
    }
    resume_facts facts{proof_told(found), true, disk.update.has_value(), true, true, true};
    if (found == proof::changed) {
        return agreed(refusal("was changed by another program"), decide_resume(facts));
    }
    if (!disk.update) {
        return found == proof::rewritten_whole ? agreed(refusal("no longer holds"), decide_resume(facts))
                                               : refusal("Error opening update.pak");
    }
    const auto plan = pakmodel::plan_merge(backup, *disk.update);
    if (!plan) {
        return refusal("");
    }
    const expectation model = expect_rewriting_with_update(disk, found, *plan);
    facts.same_update = !model.refused || found == proof::unproven;
    return agreed(model, decide_resume(facts));
}

expectation expect_complete(const disk_state& disk)
{
    const std::string& finished = finished_form(disk.target);
    finish_facts facts{fits_as_finished(finished), true, disk.update.has_value(), true, true};
    if (!facts.mark_fits_length) {
        return agreed(refusal("its mark does not match its length"), decide_finish(facts));
    }
    const auto members = directory_of(finished, pakmodel::kMaxEntries);
    if (!members) {
        return refusal("");
    }
    if (disk.update) {
        const auto update_members = directory_of(*disk.update, pakmodel::kMaxUpdateEntries);
        if (!update_members) {
            return refusal("");
        }
        if (!holds_update(finished, *members, *disk.update, *update_members)) {
            const auto plan = pakmodel::plan_merge(finished, *disk.update);
            if (!plan) {
                return refusal("");
            }
            facts.update_applied = false;
            return agreed(starts(start_point::finish_then_apply, first_byte_moved(*plan)), decide_finish(facts));
        }
    }
    expectation finish = agreed(starts(start_point::finish_complete, 0), decide_finish(facts));
    if (!disk.backup) {
        finish.standing = backup_standing::missing;
    } else {
        if (backup_fault_of(*disk.backup) != nullptr) {
            finish.standing = backup_standing::other;
            return finish;
        }
        const auto backup_members = directory_of(*disk.backup, pakmodel::kMaxEntries);
        if (!backup_members) {
            return refusal("");
        }
        finish.standing = shaped_as_merge_of(*members, *backup_members) ? backup_standing::original
                                                                        : backup_standing::other;
    }
    return finish;
}

expectation expected_plan(const disk_state& disk)
{
    switch (stage_of_target(disk.target)) {
    case model_stage::archive:
        return expect_archive(disk);
    case model_stage::rewriting:
        return expect_rewriting(disk);
    case model_stage::complete:
        return expect_complete(disk);
    }
    return refusal("");
}

// ---- Laying out the state --------------------------------------------------

enum class target_choice {
    original, updated, marked, cut_short, placed, rewritten, complete, mark_torn, magic_torn, count
};
enum class backup_choice { original, missing, other, stale, retouched, count };
enum class update_choice { same, missing, other, same_shape, count };
enum class record_choice { present, absent, damaged, other_update, count };

template <typename E>
E pick(std::uint8_t byte)
{
    return static_cast<E>(byte % static_cast<unsigned>(E::count));
}

const char* const TARGET_NAMES[] = {"O",           "O updated",       "O marked", "cut short", "placed, not cut",
                                    "rewritten whole", "complete", "mark torn", "magic torn"};
const char* const BACKUP_NAMES[] = {"O", "missing", "another archive", "stale", "O changed in place"};
const char* const UPDATE_NAMES[] = {"U", "missing", "another update", "U's shape, other bytes"};
const char* const RECORD_NAMES[] = {"record", "no record", "damaged record", "record of another update"};

// Each of the four bytes the old or the new, by the bits of `mask`, never
// all of either.
std::string torn(std::string_view from, std::string_view to, std::uint8_t mask)
{
    const unsigned bits = 1U + static_cast<unsigned>(mask) % 14U;
    std::string bytes(from);
    for (std::size_t i = 0; i < 4; ++i) {
        if (((bits >> i) & 1U) != 0) {
            bytes[i] = to[i];
        }
    }
    return bytes;
}

// The record a run appends before it changes a byte of the original, made
// by the product's own writer: the harness lays out the state, it does not
// decide it.
std::string with_record(const std::string& target, std::int64_t at, const std::string& original,
                        const std::string& update)
{
    write_whole_file(RECORD_SCRATCH, target);
    write_whole_file(BACKUP_NAME, original);
    write_whole_file(UPDATE_ARCHIVE_NAME, update);
    try {
        checked_file from = open_for_read(BACKUP_NAME);
        checked_file with = open_for_read(UPDATE_ARCHIVE_NAME);
        checked_file to = open_for_update(RECORD_SCRATCH);
        append_rewrite_record(to, at, record_for(from, read_archive_header(from), with));
        for (checked_file* file : {&from, &with, &to}) {
            close_file(*file);
        }
    } catch (const fuzz::fatal_error_thrown& failure) {
        harness_failure("cannot write a record", failure.message);
    }
    std::optional<std::string> bytes = read_whole_file(RECORD_SCRATCH);
    (void)::unlink(RECORD_SCRATCH);
    return *bytes;
}

// The archive with the first byte of each member's data inverted: the same
// names, lengths and directory, other bytes.
std::string retouched(std::string archive, const std::vector<pakmodel::model_entry>& members)
{
    for (const auto& member : members) {
        if (member.length > 0 && inside(member, archive)) {
            auto& byte = archive[static_cast<std::size_t>(member.offset)];
            byte = static_cast<char>(~byte);
        }
    }
    return archive;
}

// Marked over the original's header, rewritten from the first byte that
// moves up to `sixty_thirds`/63 of the way, and long enough for the record
// past both lengths; or, `placed`, rewritten to the end with the result's
// directory place, as a stop before the cut leaves it.
std::string rewritten_in_part(const std::string& o, const std::string& result, const pakmodel::merge_plan& plan,
                              bool placed, unsigned sixty_thirds, std::size_t& written)
{
    std::string bytes = with_magic(o, REWRITE_MARK_TEXT);
    bytes.resize(std::max(o.size(), result.size()), '\0');
    const auto from = static_cast<std::size_t>(first_byte_moved(plan));
    const std::size_t span = result.size() > from ? result.size() - from : 0;
    written = placed ? span : span * sixty_thirds / 63U;
    bytes.replace(from, written, result, from, written);
    if (placed) {
        bytes.replace(4, 8, result, 4, 8);
    }
    return bytes;
}

// An earlier original of O: all its members but the last, laid out anew.
std::string stale_of(const std::string& original, const std::vector<pakmodel::model_entry>& members)
{
    std::vector<pakmodel::pak_member> earlier;
    for (std::size_t i = 0; i + 1 < members.size(); ++i) {
        const auto& member = members[i];
        earlier.push_back({member.name, member.length == 0 || !inside(member, original) ? std::string()
                                                           : original.substr(static_cast<std::size_t>(member.offset),
                                                                             static_cast<std::size_t>(member.length))});
    }
    earlier.push_back({"stale.txt", "an earlier original"});
    return pakmodel::build_pak(earlier);
}

struct layout {
    disk_state disk;
    std::optional<std::string> leftover;
    bool dry_run;
    std::string label;
};

std::optional<layout> lay_out(const std::uint8_t* choices, const fuzz::archive_pair& pair)
{
    const auto target = pick<target_choice>(choices[0]);
    const auto backup = pick<backup_choice>(choices[1]);
    const auto update = pick<update_choice>(choices[2]);
    const auto record = pick<record_choice>(choices[3] >> 2U);
    const bool leftover = (choices[3] & 1U) != 0;
    const bool dry_run = (choices[3] & 2U) != 0;
    const std::string& o = pair.original;
    const std::string& u = pair.update;

    // Only a pair the tool merges leaves anything but the archive behind.
    const auto plan = pakmodel::plan_merge(o, u);
    if (plan && plan->output_size > MAX_MODEL_OUTPUT) {
        return std::nullopt;
    }
    if (!plan && target != target_choice::original) {
        return std::nullopt;
    }
    const auto members = directory_of(o, pakmodel::kMaxEntries);
    const bool holds_result = target == target_choice::updated || target == target_choice::cut_short ||
                              target == target_choice::placed ||
                              target == target_choice::rewritten || target == target_choice::complete ||
                              target == target_choice::magic_torn;
    std::string result = holds_result ? pakmodel::carry_out(*plan, o, u).archive : std::string();
    const std::string other_update = pakmodel::build_pak({{"another/update.txt", "another update"}});

    layout out{};
    out.dry_run = dry_run;
    out.label = std::string(TARGET_NAMES[static_cast<int>(target)]) + ", backup " +
                BACKUP_NAMES[static_cast<int>(backup)] + ", update.pak " + UPDATE_NAMES[static_cast<int>(update)];
    switch (backup) {
    case backup_choice::original:
        out.disk.backup = o;
        break;
    case backup_choice::missing:
        break;
    case backup_choice::other:
        out.disk.backup = pakmodel::build_pak({{"another.txt", "another archive"}});
        break;
    case backup_choice::stale:
        out.disk.backup = members ? stale_of(o, *members) : pakmodel::build_pak({{"stale.txt", "stale"}});
        break;
    case backup_choice::retouched:
        out.disk.backup = members ? retouched(o, *members) : o;
        break;
    case backup_choice::count:
        break;
    }
    switch (update) {
    case update_choice::same:
        out.disk.update = u;
        break;
    case update_choice::missing:
        break;
    case update_choice::other:
        out.disk.update = other_update;
        break;
    case update_choice::same_shape: {
        const auto update_members = directory_of(u, pakmodel::kMaxUpdateEntries);
        out.disk.update = update_members ? retouched(u, *update_members) : u;
        break;
    }
    case update_choice::count:
        break;
    }
    switch (target) {
    case target_choice::original:
        out.disk.target = o;
        break;
    case target_choice::updated:
        out.disk.target = std::move(result);
        break;
    case target_choice::marked:
        out.disk.target = with_magic(o, REWRITE_MARK_TEXT);
        break;
    case target_choice::cut_short:
    case target_choice::placed: {
        const std::size_t at = std::max(o.size(), result.size());
        std::size_t written = 0;
        std::string bytes =
            rewritten_in_part(o, result, *plan, target == target_choice::placed, choices[1] >> 2U, written);
        out.label += ", " + std::string(RECORD_NAMES[static_cast<int>(record)]) + ", " + std::to_string(written) +
                     " bytes rewritten";
        switch (record) {
        case record_choice::present:
            bytes = with_record(bytes, static_cast<std::int64_t>(at), o, u);
            out.disk.recorded_update = u;
            out.disk.original = o;
            break;
        case record_choice::absent:
            break;
        case record_choice::damaged:
            bytes = with_record(bytes, static_cast<std::int64_t>(at), o, u);
            bytes[at + 8 + choices[2] % 40U] ^= 1;
            break;
        case record_choice::other_update:
            bytes = with_record(bytes, static_cast<std::int64_t>(at), o, other_update);
            out.disk.recorded_update = other_update;
            out.disk.original = o;
            break;
        case record_choice::count:
            break;
        }
        out.disk.target = std::move(bytes);
        break;
    }
    case target_choice::rewritten:
        out.disk.target = with_magic(std::move(result), REWRITE_MARK_TEXT);
        break;
    case target_choice::complete:
        out.disk.target = with_magic(std::move(result), COMPLETE_MARK_TEXT);
        break;
    case target_choice::mark_torn:
        out.disk.target = with_magic(o, torn(MAGIC_TEXT, REWRITE_MARK_TEXT, choices[3] >> 2U));
        break;
    case target_choice::magic_torn:
        out.disk.target = with_magic(std::move(result), torn(COMPLETE_MARK_TEXT, MAGIC_TEXT, choices[3] >> 2U));
        break;
    case target_choice::count:
        break;
    }
    if (target == target_choice::mark_torn || target == target_choice::magic_torn) {
        out.label += ", begins";
        for (std::size_t i = 0; i < 4; ++i) {
            std::array<char, 4> hex{};
            (void)std::snprintf(hex.data(), hex.size(), " %02x", static_cast<unsigned char>(out.disk.target[i]));
            out.label += hex.data();
        }
    }
    if (leftover) {
        out.leftover = o.substr(0, o.size() / 2);
        out.label += ", a temporary backup left";
    }
    return out;
}

// ---- The run ---------------------------------------------------------------

// The plan holds three directories, too large for the sanitizer allocator's
// size classes: one is kept for every run and made anew in place, as the
// tool value-initialises its own.
alignas(run_plan) std::array<unsigned char, sizeof(run_plan)> plan_storage;
run_plan* live_plan = nullptr;

run_plan& fresh_plan()
{
    if (live_plan != nullptr) {
        live_plan->~run_plan();
    }
    live_plan = new (plan_storage.data()) run_plan();
    return *live_plan;
}

void close_if_open(checked_file& file)
{
    if (file.handle != NO_FILE) {
        (void)::close(static_cast<int>(file.handle));
        file.handle = NO_FILE;
    }
}

struct outcome {
    std::optional<std::string> refusal;
    start_point start;
    backup_standing standing;
    std::int64_t rewrite_from;
};

outcome run_plan_once(bool dry_run)
{
    run_plan& plan = fresh_plan();
    outcome seen{std::nullopt, start_point::fresh, backup_standing::missing, 0};
    // The product's notes ("update.pak is read from the current folder")
    // would fill the fuzzer's log; glibc lets the stream be swapped.
    std::FILE* const errors = stderr;
    stderr = quiet;
    try {
        make_plan(plan, TARGET_NAME, "", dry_run);
        seen.start = plan.start;
        seen.standing = plan.backup;
        seen.rewrite_from = plan.rewrite_from;
    } catch (const fuzz::fatal_error_thrown& refused) {
        seen.refusal = refused.message;
    }
    (void)std::fflush(quiet);
    stderr = errors;
    close_if_open(plan.files.target);
    close_if_open(plan.files.update);
    close_if_open(plan.files.backup);
    return seen;
}

const char* start_name(start_point start)
{
    switch (start) {
    case start_point::fresh:
        return "fresh";
    case start_point::already_applied:
        return "already applied";
    case start_point::resume_rewrite:
        return "resume";
    case start_point::finish_complete:
        return "finish";
    case start_point::finish_then_apply:
        return "finish, then apply";
    case start_point::unmark_then_apply:
        return "unmark, then apply";
    }
    return "?";
}

const char* standing_name(backup_standing standing)
{
    switch (standing) {
    case backup_standing::missing:
        return "missing";
    case backup_standing::original:
        return "original";
    case backup_standing::other:
        return "other";
    case backup_standing::changed:
        return "changed";
    }
    return "?";
}

std::string told(const expectation& e)
{
    if (e.refused) {
        return std::string("refused") + (*e.refusal != '\0' ? std::string(" (\"") + e.refusal + "\")" : "");
    }
    std::string text = start_name(e.start);
    if (e.start == start_point::finish_complete) {
        text += std::string(", backup ") + standing_name(e.standing);
    } else if (e.start != start_point::already_applied) {
        text += ", first byte " + std::to_string(e.rewrite_from);
    }
    return text;
}

void check_plan(const layout& laid, const outcome& seen)
{
    const expectation expected = expected_plan(laid.disk);
    const expectation got = seen.refusal ? expectation{true, seen.refusal->c_str(), seen.start, seen.standing, 0}
                                         : expectation{false, "", seen.start, seen.standing, seen.rewrite_from};
    if (fuzz::work.trace) {
        (void)std::fprintf(stderr, "plan_fuzzer: %s: %s\n", laid.label.c_str(), told(got).c_str());
    }
    bool agrees = expected.refused == got.refused;
    if (agrees && expected.refused) {
        agrees = std::strstr(seen.refusal->c_str(), expected.refusal) != nullptr;
    } else if (agrees) {
        agrees = told(expected) == told(got);
    }
    if (!agrees) {
        harness_failure("the plan and the model disagree",
                        laid.label + ": the plan says " + told(got) + ", the model " + told(expected));
    }
}

std::array<char, std::size_t{64} * 1024> compare_buffer;

// True when the file at `path` holds exactly `bytes`, or is missing where
// there are none; compared in a buffer kept for every run.
bool file_holds(const char* path, const std::optional<std::string>& bytes)
{
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return !bytes;
    }
    struct stat status {};
    bool same = bytes && ::fstat(fd, &status) == 0 && static_cast<std::size_t>(status.st_size) == bytes->size();
    std::size_t done = 0;
    while (same && done < bytes->size()) {
        const std::size_t count = std::min(compare_buffer.size(), bytes->size() - done);
        const ssize_t got = ::pread(fd, compare_buffer.data(), count, static_cast<off_t>(done));
        if (got <= 0) {
            harness_failure("cannot read", path);
        }
        same = std::memcmp(compare_buffer.data(), bytes->data() + done, static_cast<std::size_t>(got)) == 0;
        done += static_cast<std::size_t>(got);
    }
    (void)::close(fd);
    return same;
}

void check_unchanged(const char* path, const std::optional<std::string>& bytes)
{
    if (!file_holds(path, bytes)) {
        harness_failure("the plan changed", path);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    // Standard output gets a buffer of the harness's own, or its first use
    // would allocate one that libFuzzer takes for a leak.
    static std::array<char, BUFSIZ> output_buffer;
    static std::array<char, BUFSIZ> errors_buffer;
    quiet = std::fopen("/dev/null", "w");
    if (std::freopen("/dev/null", "w", stdout) == nullptr || quiet == nullptr ||
        std::setvbuf(stdout, output_buffer.data(), _IOFBF, output_buffer.size()) != 0 ||
        std::setvbuf(quiet, errors_buffer.data(), _IOFBF, errors_buffer.size()) != 0) {
        harness_failure("cannot silence the product's output");
    }
    fuzz::open_workspace("tarnwick-plan",
                         {TARGET_NAME, BACKUP_NAME, TEMP_BACKUP_NAME, UPDATE_ARCHIVE_NAME, RECORD_SCRATCH});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < CHOICE_BYTES) {
        return -1;
    }
    const fuzz::archive_pair pair = fuzz::split_input(data + CHOICE_BYTES, size - CHOICE_BYTES);
    // make_plan reads update.pak from the current folder; libFuzzer's own
    // paths may be relative, so the folder changes only for the run.
    if (::fchdir(fuzz::work.work_dir) != 0) {
        harness_failure("cannot enter the work directory");
    }
    const std::optional<layout> laid = lay_out(data, pair);
    if (!laid) {
        if (::fchdir(fuzz::work.home_dir) != 0) {
            harness_failure("cannot return to the starting directory");
        }
        return -1;
    }
    write_whole_file(TARGET_NAME, laid->disk.target);
    place_file(BACKUP_NAME, laid->disk.backup);
    place_file(UPDATE_ARCHIVE_NAME, laid->disk.update);
    place_file(TEMP_BACKUP_NAME, laid->leftover);

    const descriptor_set before = open_descriptors();
    const outcome seen = run_plan_once(laid->dry_run);
    const descriptor_set left = open_descriptors() & ~before;
    // A refusal ends the tool's process; here it unwinds past files the
    // product would never close, which are no leak.
    if (left.any() && !seen.refusal) {
        harness_failure("a plan left a file descriptor open", laid->label);
    }
    for (std::size_t fd = 0; fd < left.size(); ++fd) {
        if (left[fd]) {
            (void)::close(static_cast<int>(fd));
        }
    }
    check_plan(*laid, seen);
    check_unchanged(TARGET_NAME, laid->disk.target);
    check_unchanged(BACKUP_NAME, laid->disk.backup);
    check_unchanged(UPDATE_ARCHIVE_NAME, laid->disk.update);
    check_unchanged(TEMP_BACKUP_NAME, laid->leftover);
    if (::fchdir(fuzz::work.home_dir) != 0) {
        harness_failure("cannot return to the starting directory");
    }
    return 0;
}
