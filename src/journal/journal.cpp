#include "journal.h"

#include <cstddef>
#include <memory>

#include "copies.h"
#include "exchange.h"
#include "interruption.h"
#include "merge.h"
#include "open_file.h"

namespace {

// The notes, made once per run so that a signal handler only ever reads a
// complete text.
struct journal_texts {
    std::string as_it_was;
    std::string marking;
    std::string marked;
    std::string complete;
    std::string finishing;
    std::string unmarking;
    std::string undo_half_done;
    std::string exchanged;
    std::string exchanged_interrupt;
    std::string restored;
    std::string restored_interrupt;
    std::string lost_name;
    std::string target_path;
    std::string backup_path;
};
journal_texts& texts()
{
    static journal_texts kept;
    return kept;
}

void set_note(const std::string& text)
{
    set_failure_notes(text.c_str(), text.c_str());
}

// A write of four bytes torn by a power cut leaves each byte either the old
// one or the new one.
bool torn_between(const std::array<char, 4>& bytes, const std::array<char, 4>& a, const std::array<char, 4>& b)
{
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != a[i] && bytes[i] != b[i]) {
            return false;
        }
    }
    return bytes != a && bytes != b;
}

// The stage a header that begins with `bytes` stands for. Nothing after a
// change of these bytes is written before that change is flushed, so a torn
// one stands for the stage before it: the fourth byte tells which change it
// was, and where it is "PACK"'s in both, the file's length does.
rewrite_stage stage_of(const std::array<char, 4>& bytes, bool fits_as_finished)
{
    if (bytes == REWRITE_MARK) {
        return rewrite_stage::rewriting;
    }
    if (bytes == COMPLETE_MARK) {
        return rewrite_stage::data_complete;
    }
    const bool marking = torn_between(bytes, PAK_MAGIC, REWRITE_MARK);
    const bool finishing = torn_between(bytes, PAK_MAGIC, COMPLETE_MARK);
    if (finishing && (bytes[3] == COMPLETE_MARK[3] || fits_as_finished)) {
        return rewrite_stage::data_complete;
    }
    // Torn as the mark was written: the original's bytes are behind it,
    // which only the backup can prove.
    return marking ? rewrite_stage::rewriting : rewrite_stage::none;
}

} // namespace

bool mark_fits_length(const pak_header& final_header, std::int64_t length)
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
    return stage_of(raw.magic, mark_fits_length(final_header, file_length(target)));
}

const char* original_fault(const checked_file& archive)
{
    pak_header final_header{};
    if (read_rewrite_stage(archive, final_header) != rewrite_stage::none) {
        return "is itself an archive left half-written";
    }
    return archive_fault(archive);
}

void name_journal(const std::string& target_path, const std::string& backup_path)
{
    journal_texts& kept = texts();
    kept.as_it_was = target_path + " is as it was; running the same command again updates it";
    kept.marking = target_path + " is half-written and not playable, or still as it was; the original is in " +
                   backup_path + "; running the same command again, once the cause is fixed, finishes the update";
    kept.marked = target_path + " is half-written and not playable; the original is in " + backup_path +
                  "; running the same command again, once the cause is fixed, finishes the update";
    kept.complete = target_path + " is updated but still marked and not playable; the original is in " + backup_path +
                    "; running the same command again, once the cause is fixed, finishes the update";
    kept.unmarking = target_path + " is as it was, or still marked and not playable; the original is in " +
                     backup_path + "; running the same command again updates it";
    kept.undo_half_done = "the undo of " + target_path + " is half done; running the same command again finishes it";
    kept.exchanged = target_path + " and " + backup_path +
                     " are already exchanged; only the flush of their folder failed, so do not undo again";
    kept.restored = "the original from " + backup_path + " is already back in the place of " + target_path +
                    "; only the flush of their folder failed";
    // A stop after the last rename: the undo is done, whatever the flush it stopped.
    kept.exchanged_interrupt = target_path + " and " + backup_path +
                               " are exchanged: the undo is done, and their folder was being flushed";
    kept.restored_interrupt = "the original from " + backup_path + " is back in the place of " + target_path +
                              ": the undo is done, and their folder was being flushed";
    kept.target_path = target_path;
    kept.backup_path = backup_path;
    kept.finishing = target_path + " is updated, or complete but for its header: if it does not load, run the same "
                                   "command again";
}

void note_journal(journal_note note)
{
    switch (note) {
    case journal_note::none:
        set_failure_notes(nullptr, nullptr);
        return;
    case journal_note::as_it_was:
        // A failure says its own reason, and nothing has changed.
        set_failure_notes(nullptr, texts().as_it_was.c_str());
        return;
    case journal_note::marked:
        set_note(texts().marked);
        return;
    case journal_note::complete:
        set_note(texts().complete);
        return;
    case journal_note::undo_half_done:
        set_note(texts().undo_half_done);
        return;
    case journal_note::exchanged:
        set_failure_notes(texts().exchanged.c_str(), texts().exchanged_interrupt.c_str());
        return;
    case journal_note::restored:
        set_failure_notes(texts().restored.c_str(), texts().restored_interrupt.c_str());
        return;
    }
}

exchange_notes undo_exchange_notes()
{
    const journal_texts& kept = texts();
    return {{kept.undo_half_done.c_str(), kept.undo_half_done.c_str()},
            {kept.exchanged.c_str(), kept.exchanged_interrupt.c_str()}};
}

void note_lost_name(rewrite_stage stage)
{
    journal_texts& kept = texts();
    // Made before the note points at it, never while it is shown.
    set_failure_notes(nullptr, nullptr);
    kept.lost_name = std::string(stage == rewrite_stage::rewriting ? "the half-written archive"
                                                                   : "the updated archive, complete but for its header,") +
                     " no longer has the name " + kept.target_path + ", which another file took; the original is in " +
                     kept.backup_path;
    set_note(kept.lost_name);
}

void unmark_target(const checked_file& target)
{
    begin_commit_step();
    set_note(texts().unmarking);
    write_exact(target, 0, PAK_MAGIC.data(), static_cast<std::int32_t>(PAK_MAGIC.size()));
    flush_to_disk(target);
    note_journal(journal_note::as_it_was);
    end_commit_step();
}

void write_stage(const checked_file& target, rewrite_stage stage, rewrite_stage before)
{
    std::array<char, 4> magic = PAK_MAGIC;
    begin_commit_step();
    switch (stage) {
    case rewrite_stage::rewriting:
        magic = REWRITE_MARK;
        set_note(texts().marking);
        break;
    case rewrite_stage::data_complete:
        magic = COMPLETE_MARK;
        set_note(before == rewrite_stage::data_complete ? texts().complete : texts().marked);
        break;
    case rewrite_stage::none:
        set_note(texts().finishing);
        break;
    }
    write_exact(target, 0, magic.data(), static_cast<std::int32_t>(magic.size()));
    flush_to_disk(target);
    // Once flushed, the complete mark stands on an archive whose every byte is written.
    note_journal(stage == rewrite_stage::none            ? journal_note::none
                 : stage == rewrite_stage::data_complete ? journal_note::complete
                                                         : journal_note::marked);
    end_commit_step();
}

namespace {

struct rewrite_record_on_disk {
    std::array<char, 4> tag;
    std::int32_t original_length;
    std::int32_t original_dir_offset;
    std::int32_t original_dir_length;
    std::int32_t update_length;
    std::int32_t whole_known;
    std::array<std::int32_t, 2> original_directory;
    std::array<std::int32_t, 2> update;
    std::array<std::int32_t, 2> original_whole;
    std::array<std::int32_t, 2> check;
};
static_assert(sizeof(rewrite_record_on_disk) == REWRITE_RECORD_SIZE, "record is 56 bytes on disk");
static_assert(offsetof(rewrite_record_on_disk, original_directory) == 24, "fingerprints at byte 24");
static_assert(offsetof(rewrite_record_on_disk, original_whole) == 40, "whole original at byte 40");
static_assert(offsetof(rewrite_record_on_disk, check) == 48, "check at byte 48");
// A record without the whole original: the first 40 bytes alike, `check` at
// byte 40, where original_whole stands in the other.
static_assert(offsetof(rewrite_record_on_disk, original_whole) + 8 == RECORD_WITHOUT_WHOLE_SIZE,
              "the record without the whole original ends after its check");

constexpr std::array<char, 4> RECORD_TAG = {'T', 'W', 'j', 'w'};
constexpr std::array<char, 4> RECORD_WITHOUT_WHOLE_TAG = {'T', 'W', 'j', 'r'};

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

std::uint64_t record_check(const rewrite_record_on_disk& disk, std::size_t checked)
{
    return fingerprint_of_bytes(&disk, checked);
}

// Reads the record of `size` bytes, either layout, that ends the file.
bool read_record_of_size(const checked_file& target, std::int32_t size, rewrite_record_on_disk& disk)
{
    const std::int64_t length = file_length(target);
    const bool whole = size == REWRITE_RECORD_SIZE;
    const std::size_t checked = whole ? offsetof(rewrite_record_on_disk, check)
                                      : offsetof(rewrite_record_on_disk, original_whole);
    disk = {};
    if (length < PAK_HEADER_SIZE + size || read_up_to(target, length - size, &disk, size) != size ||
        disk.tag != (whole ? RECORD_TAG : RECORD_WITHOUT_WHOLE_TAG)) {
        return false;
    }
    const std::uint64_t check = joined_le(whole ? disk.check : disk.original_whole);
    if (check != record_check(disk, checked)) {
        return false;
    }
    if (!whole) {
        disk.whole_known = 0;
        disk.original_whole = {};
    }
    return true;
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
            0,
            0,
            false};
}

rewrite_record record_for(const checked_file& original, const pak_header& original_header,
                          const checked_file& update)
{
    rewrite_record record = original_record(original, original_header);
    record.update_length = archive_length(update);
    record.update = fingerprint_of(update, 0, record.update_length);
    record.original_whole = fingerprint_of(original, 0, record.original_length);
    record.whole_known = true;
    return record;
}

bool same_original(const rewrite_record& a, const rewrite_record& b)
{
    return a.original_length == b.original_length && a.original_dir_offset == b.original_dir_offset &&
           a.original_dir_length == b.original_dir_length && a.original_directory == b.original_directory;
}

bool holds_whole_original(const rewrite_record& recorded, const checked_file& original)
{
    return !recorded.whole_known || (file_length(original) == recorded.original_length &&
                                     fingerprint_of(original, 0, recorded.original_length) == recorded.original_whole);
}

bool same_update(const rewrite_record& a, const rewrite_record& b)
{
    return a.update_length == b.update_length && a.update == b.update;
}

bool record_place(std::int64_t original_length, std::int64_t result_length, std::int64_t& at)
{
    at = original_length > result_length ? original_length : result_length;
    // Only a record a later run could read within an archive's size is written.
    return at + REWRITE_RECORD_SIZE <= MAX_FILE_SIZE;
}

void append_rewrite_record(const checked_file& target, std::int64_t at, const rewrite_record& record)
{
    rewrite_record_on_disk disk{RECORD_TAG,
                                le32(record.original_length),
                                le32(record.original_dir_offset),
                                le32(record.original_dir_length),
                                le32(record.update_length),
                                le32(record.whole_known ? 1 : 0),
                                split_le(record.original_directory),
                                split_le(record.update),
                                split_le(record.whole_known ? record.original_whole : 0),
                                {}};
    disk.check = split_le(record_check(disk, offsetof(rewrite_record_on_disk, check)));
    write_exact(target, at, &disk, REWRITE_RECORD_SIZE);
    flush_to_disk(target);
}

bool read_rewrite_record(const checked_file& target, rewrite_record& record)
{
    rewrite_record_on_disk disk{};
    if (!read_record_of_size(target, REWRITE_RECORD_SIZE, disk) &&
        !read_record_of_size(target, RECORD_WITHOUT_WHOLE_SIZE, disk)) {
        return false;
    }
    record = {le32(disk.original_length),       le32(disk.original_dir_offset), le32(disk.original_dir_length),
              le32(disk.update_length),         joined_le(disk.original_directory), joined_le(disk.update),
              joined_le(disk.original_whole),   le32(disk.whole_known) == 1};
    return true;
}

namespace {

// Every byte after the target's first four is the backup's: a run stopped
// after its mark and before its record changed nothing else.
bool unchanged_but_for_the_mark(const checked_file& target, const checked_file& backup)
{
    const std::int64_t length = file_length(target);
    return length == file_length(backup) && length >= PAK_HEADER_SIZE && length <= MAX_FILE_SIZE &&
           copy_matches(target, {&backup, nullptr, 4, 4, static_cast<std::int32_t>(length - 4)}, nullptr);
}

// A rewrite that ran to its end and was cut to length: the target has the
// shape of the finished archive, its members those of the backup that an
// update left, then the update's.
bool rewritten_whole(const checked_file& target, const pak_header& final_header, const checked_file& backup,
                     const pak_header& backup_header)
{
    if (!mark_fits_length(final_header, file_length(target))) {
        return false;
    }
    auto result = std::make_unique<pak_directory>();
    auto original = std::make_unique<pak_directory>();
    read_directory_at(target, final_header, MAX_PAK_ENTRIES, *result);
    read_directory_at(backup, backup_header, MAX_PAK_ENTRIES, *original);
    return merged_from(*result, *original);
}

} // namespace

rewrite_proof prove_original_of_rewrite(const checked_file& target, const pak_header& final_header,
                                        const checked_file& backup, const pak_header& backup_header)
{
    rewrite_record recorded{};
    if (read_rewrite_record(target, recorded)) {
        if (!same_original(recorded, original_record(backup, backup_header))) {
            return rewrite_proof::unproven;
        }
        return holds_whole_original(recorded, backup) ? rewrite_proof::recorded : rewrite_proof::changed;
    }
    if (unchanged_but_for_the_mark(target, backup)) {
        return rewrite_proof::unchanged;
    }
    // The seal places the result's directory before it cuts the record
    // away: a target without the record is a finished rewrite, or one whose
    // record was not written yet, and so still holds the original's place.
    if (rewritten_whole(target, final_header, backup, backup_header)) {
        return rewrite_proof::rewritten_whole;
    }
    return same_directory_place(final_header, backup_header) ? rewrite_proof::placed : rewrite_proof::unproven;
}
