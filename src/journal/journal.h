// The journal: what a run writes into the target, besides the archive, so
// that a stop at any instant leaves a state the next run can tell apart and
// finish. It is the four bytes that begin the target (the magic, or a mark
// in its place), the header's directory place under a mark, and a record
// past the end of the rewrite; and the note a stop leaves on standard error.
//
// Every state a stop can leave, what the next run, a dry run and --undo do
// with it, and the note the stop leaves ("B" is the backup, "U" update.pak):
//
//   target                   B          U        next run                      dry run    --undo            note
//   ----------------------   --------   ------   ---------------------------   --------   ---------------   --------------
//   archive, temporary B     any        any      removes the leftover, runs    leaves it  exchanges         as it was
//     (stale; a held one is refused: another run is at work)
//   archive                  any        any      fresh run                     plans it   exchanges         as it was
//   "PACK"/rewrite torn (a)  original   any      as rewriting, no record       plans it   as rewriting      marking
//   rewriting, no record,    original   any      drops the mark, says the run  plans it   restores B        marking
//     bytes 4.. are B's                            had not changed it, fresh
//   rewriting, record        original   same     rewrites whole from B         plans it   restores B        marked
//   rewriting, record        original   other    refused: U is not the update  same       restores B        marked
//   rewriting, record        original   none     refused: no U                 same       restores B        marked
//     (with the record: before the rewrite, while it writes, and once the
//     result's directory place is written, until the cut (b))
//   rewriting, record        changed    any      refused: B was changed; put   same       refused, alike    none
//                            (d)                   the original back as the
//                                                  target, or reinstall it
//   rewriting, no record,    original   same     rewrites whole from B         plans it   restores B        marked
//     sealed: B's members an update left, then that update's (b), and U's
//     members byte for byte where the result has them
//   the same                 original   other,   refused: the update it holds  same       restores B        marked
//                                       of its     is unknown; --undo named
//                                       shape or
//                                       not; none
//     (its appended members cannot be proven without that update)
//   rewriting, no record,    original   any      rewrites whole from B         plans it   restores B        marked
//     not sealed, directory place of B's: the record's write torn, no
//     member written yet
//   rewriting                other or   any      refused, naming what is not   same       refused, alike    marked
//                            missing                the original
//   complete                 any        same     finishes it, removes U        plans it   finishes, then    marked
//                                                                                         exchanges
//   complete                 any        other    finishes it, then backs it    plans it   same              marked
//                                                  up and applies U
//   complete                 any        none     finishes it                   plans it   same              marked
//   complete/"PACK" torn (c) any        any      as complete                   same       as complete       finishing
//
//   (a) a tear of the mark's write: each of the four bytes from "PACK" or
//       the rewrite mark, the fourth the mark's 'r', or "PACK"'s 'K' in a
//       file whose length does not fit its header as a finished rewrite.
//   (b) the seal writes the result's directory place and flushes it, then
//       cuts the record away and flushes that: without its record a target
//       is sealed, or no member was written yet.
//   (c) a tear of the magic's write over the complete mark: the fourth
//       byte the complete mark's 'c', or 'K' where the length fits.
//   (d) the record's length, directory place and directory, but not its
//       fingerprint of the whole original (a record of the earlier 48-byte
//       layout has none, and proves B as "original" did then). A run finds
//       a changed B itself, by its status, before the seal, and refuses
//       there; after the seal its report says B was changed.
//   A complete target's backup is called its original in the report only
//   where the target's members are those an update left of the backup's.
//
// Which function decides each row. The target's column: read_rewrite_stage
// (the tears (a) and (c) included). A temporary B: reserve_pending_file,
// through claim_backup. "archive": plan_fresh. The "rewriting" rows:
// backup_fault (B other or missing), then prove_original_of_rewrite, the
// one proof, which plan_resume and the undo's prove_original read alike;
// then, by its answer, plan_unmarked (bytes 4.. are B's), refuse_other_update
// (U other than the record's), merge_written (sealed, U's members). The
// "complete" rows: plan_finish (update_already_applied tells U same from
// other) and standing_of_backup; --undo on them: refuse_untied_archives,
// then undo_exchange. The notes: note_journal, and exchange_files for the
// undo's.
//
// The notes, set before the write they describe and true on both sides of
// it: "as it was" before the mark (shown only on a signal: a failure says
// its own reason), "marking" while the mark is written, "marked" from then
// on, "finishing" while the magic goes on. A signal is held back across
// each write and its flush (begin_commit_step), so that it meets the note
// set after it. An undo switches its note inside each rename's step: none
// before its first, "half done" between its renames, "exchanged" (or
// "restored") once the last is made, which no note asks to undo again.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "exchange.h"
#include "pak_format.h"

// While the tool rewrites a target, the first four bytes of its header are
// one of these marks instead of the magic: a game refuses the file, and a
// later run can tell that the rewrite was cut short. Every change of the
// header writes only these four bytes. Under the rewrite mark, dir_offset
// and dir_length are the old archive's until the members and directory are
// written, then the new ones.
inline constexpr std::array<char, 4> REWRITE_MARK = {'\x89', 'T', 'W', 'r'};
inline constexpr std::array<char, 4> COMPLETE_MARK = {'\x89', 'T', 'W', 'c'};

enum class rewrite_stage {
    none,           // bears no mark: an archive, or anything else
    rewriting,      // members and directory are being written
    data_complete,  // members and directory are on disk; only the magic is missing
};

// Before the first byte of the original changes, a run appends to the
// target, past every byte the rewrite writes, a record of what it rewrites
// from: the original it backed up and the update it applies. While the
// rewrite mark stands a later run finds it in the file's last bytes, and
// finishes only from that original with that update. The rewrite cuts the
// file to its length at the end, which drops the record.
//
//   record, 56 bytes           0   tag "TWjw"               24  original's directory fingerprint (8 bytes)
//   (integers little-endian,   4   original_length          32  update.pak's fingerprint (8 bytes)
//   fingerprints low word      8   original_dir_offset      40  the whole original's fingerprint (8 bytes)
//   first)                     12  original_dir_length      48  fingerprint of bytes 0..47
//                              16  update_length
//                              20  1 when byte 40 holds the whole original's fingerprint, else 0
//
// The whole original's fingerprint is taken as the backup is read back; a
// build that reads nothing back records none. Runs before it wrote a record
// of 48 bytes, tag "TWjr", bytes 0..39 as above and their fingerprint at 40:
// it is read as a record without the whole original's fingerprint.
constexpr std::int32_t REWRITE_RECORD_SIZE = 56;
constexpr std::int32_t RECORD_WITHOUT_WHOLE_SIZE = 48;
struct rewrite_record {
    std::int32_t original_length;
    std::int32_t original_dir_offset;
    std::int32_t original_dir_length;
    std::int32_t update_length;
    std::uint64_t original_directory;
    std::uint64_t update;
    std::uint64_t original_whole;
    bool whole_known;  // original_whole was taken
};

// The stage an earlier run left the target in; a header torn while its
// first four bytes were written is read as the earlier of the two stages it
// lies between. For a mark, `final_header` receives the header the finished
// archive gets.
rewrite_stage read_rewrite_stage(const checked_file& target, pak_header& final_header);
// Why `archive` cannot serve as the original of a merge, a target left
// marked included, or nullptr.
const char* original_fault(const checked_file& archive);
// True when a mark's header describes a file of `length` bytes: a header,
// members, then the whole directory of 4096 entries.
bool mark_fits_length(const pak_header& final_header, std::int64_t length);

// The names the notes speak of; set once per run, before any note.
void name_journal(const std::string& target_path, const std::string& backup_path);
enum class journal_note {
    none,
    as_it_was,       // nothing has changed the target
    marked,          // the target is marked; the original is in the backup
    complete,        // the target bears the complete mark: every byte but its magic is written
    undo_half_done,  // an undo's renames are under way
    exchanged,       // an undo exchanged the target and its backup, and is done; their folder is being flushed
    restored,        // an undo put the original in place of a half-written target; the same
};
void note_journal(journal_note note);
// The notes of an undo's exchange, for its steps to switch to: half done,
// then exchanged.
exchange_notes undo_exchange_notes();
// Another file took the target's name while it stood at `stage`: the file
// being rewritten has no name any more, and the original is in the backup.
void note_lost_name(rewrite_stage stage);
// Writes the four bytes that begin the target at `stage` (the magic for
// rewrite_stage::none) over those of stage `before`, and flushes them to
// disk, with the note that is true whether or not they landed set before
// the write, and the stage's own after it; after the magic, no note.
void write_stage(const checked_file& target, rewrite_stage stage, rewrite_stage before);

// Takes the rewrite mark off a target whose bytes after it are still the
// original's, and flushes it.
void unmark_target(const checked_file& target);

// What a run records before it changes the target, from the files it
// rewrites the target from, the whole original's fingerprint included.
rewrite_record record_for(const checked_file& original, const pak_header& original_header,
                          const checked_file& update);
// The record's fields of the original alone, but for its whole fingerprint.
rewrite_record original_record(const checked_file& original, const pak_header& original_header);
// The same length, directory place and directory.
bool same_original(const rewrite_record& a, const rewrite_record& b);
// True when `original` holds the bytes the record's whole fingerprint was
// taken of, or the record has none; reads the whole file only where it has.
bool holds_whole_original(const rewrite_record& recorded, const checked_file& original);
bool same_update(const rewrite_record& a, const rewrite_record& b);
// Where the record of a rewrite goes: past the original and past the
// result; false when it would not end within an archive's size.
bool record_place(std::int64_t original_length, std::int64_t result_length, std::int64_t& at);
// Writes the record at `at` and flushes it to disk.
void append_rewrite_record(const checked_file& target, std::int64_t at, const rewrite_record& record);
// The record at the end of a target, or false where there is none.
bool read_rewrite_record(const checked_file& target, rewrite_record& record);

// What the backup proves of a target marked while it was rewritten.
enum class rewrite_proof {
    unchanged,       // no record, and every byte after the mark is the backup's
    recorded,        // the record names the backup as the original, its bytes included
    changed,         // the record names an original of the backup's length and
                     // directory, and the backup no longer holds its bytes
    rewritten_whole, // no record, and the target has the shape of a finished
                     // rewrite: the backup's members an update left, then that
                     // update's, whose bytes only that update can prove
    placed,          // no record, not that shape, and the mark holds the place
                     // of the backup's directory: no member was written yet
    unproven,
};
// The one proof a marked target's backup gives, read by the rerun, the dry
// run and --undo alike.
rewrite_proof prove_original_of_rewrite(const checked_file& target, const pak_header& final_header,
                                        const checked_file& backup, const pak_header& backup_header);
