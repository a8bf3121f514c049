// Copies between files, and the read-back that checks them. Every span is
// read back in fixed buffers, whatever its size, and a wrong one is redone
// once through the program's own loop: a kernel copy path that lied once is
// not asked again.
#include <array>
#include <cstring>

#include "copies.h"
#include "file_names.h"
#include "file_system.h"
#include "open_file.h"

namespace {

// A span is copied in pieces of this size, and the writing out of each
// starts as soon as it is copied, so that the disk writes while the next
// piece is copied, and the flush that follows finds less left to write.
// Where to start it was measured on a 256 MiB archive of 2,000 members on
// ext4, medians of 7 alternated rounds, seconds (front / late / append
// updates), with the read-back still before the flush: never 1.12 / 0.61 / 0.54; after
// each span 1.02 / 0.59 / 0.48; after each 16 MiB piece 0.87 / 0.50 / 0.50;
// once before the read-back 0.94 / 0.50 / 0.48; beside them, the build that
// reads nothing back and starts nothing early, 0.71 / 0.46 / 0.48. Pieces
// are whole chunks, so that a copy cut short by its source leaves whole
// chunks, as the loop alone does.
constexpr std::int32_t PIECE_SIZE = 16 << 20;
static_assert(PIECE_SIZE % COPY_CHUNK_SIZE == 0, "a piece holds whole chunks");

// A span of more than one piece whose caller lets it be read back as it is
// copied (early_read_back) is compared on the side while the kernel copies
// the next piece, or waits for the disk to read it, and writing out starts
// early. A copy from the disk read back only beside the flush starts
// nothing early, so that the flush finds enough left to write for the
// read-back to hide behind. Measured on a 256 MiB archive, alternated
// rounds on a quiet machine, late / append / front updates: from a dropped
// page cache (8 rounds, medians against one cold `cp` and `sync` of the
// archive), read back beside the copy with early starts 0.80 / 0.96 /
// 1.03, beside the flush with none 0.84 / 1.13 / 1.19, beside the flush
// with early starts 0.94 / 1.10 / 1.12, beside the copy without them 0.88 /
// 1.06 / 1.14; from memory (7 rounds, against the build that reads nothing
// back, round by round), beside the copy 1.11 / 0.86 / 1.06, beside the
// flush 1.39 / 1.10 / 1.17. A source counts as in memory when at least
// half of it is. Only a span of more than one piece is asked, at three
// calls per 4096 pages: a shorter one starts once, after all of its reads.
bool source_in_memory(const copy_span& span)
{
    const std::int64_t held = bytes_in_memory(span.source->handle, span.source_offset, span.length);
    return held < 0 || 2 * held >= span.length;
}

void count_copied(progress_line* progress, std::int64_t bytes)
{
    if (progress != nullptr && progress_wanted(*progress)) {
        count_progress(*progress, bytes);
    }
}

// Moves the piece inside the kernel, without a user buffer. Returns how many
// of its bytes are left to the program's loop: all of them when the system
// refuses the copy or the source does not hold them all (so that the loop
// fails at the same byte with the same message as ever), the rest when the
// system gives up part way.
std::int64_t copy_in_kernel(const checked_file& target, const copy_span& span, progress_line* progress)
{
    if (static_cast<std::int64_t>(span.length) > file_length(*span.source) - span.source_offset) {
        return span.length;
    }
    const auto length = static_cast<std::uint32_t>(span.length);
    std::uint32_t done = 0;
    while (done != length) {
        const std::int64_t moved = kernel_copy(span.source->handle, span.source_offset + done, target.handle,
                                               span.target_offset + done, length - done);
        if (moved == 0) {
            break;
        }
        done += static_cast<std::uint32_t>(moved);
        count_copied(progress, moved);
    }
    return length - done;
}

void copy_in_program(const checked_file& target, const copy_span& span, std::int64_t skipped,
                     progress_line* progress)
{
    unsigned char* chunk = shared_buffer(0);
    for_each_chunk(skipped, span.length, COPY_CHUNK_SIZE, [&](std::int64_t at, std::int32_t count) {
        read_exact(*span.source, span.source_offset + at, chunk, count);
        write_exact(target, span.target_offset + at, chunk, count);
        count_copied(progress, count);
        return true;
    });
}

// What reading a copy back found: `error` is a read's failure on `unread`.
struct read_back {
    bool same;
    int error;
    const checked_file* unread;
};

// With `taken`, the span's bytes are added to that fingerprint as they are
// compared: a copy read back is the one read of them.
read_back compare_adding(const checked_file& target, const copy_span& span, progress_line* progress,
                         fingerprint_state* taken)
{
    const auto* bytes = static_cast<const unsigned char*>(span.bytes);
    unsigned char* copied = shared_buffer(0);
    unsigned char* source = shared_buffer(1);
    read_back found{true, 0, nullptr};
    const auto read = [&](const checked_file& file, std::int64_t at, unsigned char* into, std::int32_t count) {
        const std::int32_t arrived = try_read_up_to(file, at, into, count, found.error);
        if (arrived < 0) {
            found.unread = &file;
        }
        // A file that ends early, as a copy cut short does, differs.
        return arrived == count;
    };
    found.same = for_each_chunk(0, span.length, COPY_CHUNK_SIZE, [&](std::int64_t at, std::int32_t count) {
        if (!read(target, span.target_offset + at, copied, count)) {
            return false;
        }
        const unsigned char* expected = bytes + at;
        if (span.source != nullptr) {
            if (!read(*span.source, span.source_offset + at, source, count)) {
                return false;
            }
            expected = source;
        }
        if (std::memcmp(copied, expected, static_cast<std::size_t>(count)) != 0) {
            return false;
        }
        if (taken != nullptr) {
            add_to_fingerprint(*taken, copied, static_cast<std::size_t>(count));
        }
        count_copied(progress, count);
        return true;
    });
    return found;
}

// The same, with `taken` started for the span alone.
read_back compare_copy(const checked_file& target, const copy_span& span, progress_line* progress,
                       fingerprint_state* taken)
{
    if (taken != nullptr) {
        *taken = start_fingerprint(span.length);
    }
    return compare_adding(target, span, progress, taken);
}

// The read-back of a file's copies, made on the side while the file is
// flushed: it stops at the first span that differs or cannot be read.
struct side_check {
    const checked_file* target;
    const copy_span* spans;
    std::size_t count;
    std::size_t first_wrong;  // from the first span not yet read back; `count` when every span matched
    read_back found;          // for the first wrong span
    fingerprint_state* taken;  // of the first span, or nullptr
};

void check_on_side(void* context)
{
    auto& check = *static_cast<side_check*>(context);
    for (; check.first_wrong < check.count; ++check.first_wrong) {
        check.found = compare_copy(*check.target, check.spans[check.first_wrong], nullptr,
                                   check.first_wrong == 0 ? check.taken : nullptr);
        if (!check.found.same) {
            return;
        }
    }
}

void copy_span_through_program(const checked_file& target, const copy_span& span, progress_line* progress)
{
    if (span.source == nullptr) {
        write_exact(target, span.target_offset, span.bytes, span.length);
        count_copied(progress, span.length);
        return;
    }
    copy_in_program(target, span, 0, progress);
}

bool matches_taking(const checked_file& target, const copy_span& span, progress_line* progress,
                    fingerprint_state* taken)
{
    const read_back found = compare_copy(target, span, progress, taken);
    if (found.error != 0) {
        read_failure(*found.unread, found.error);
    }
    return found.same;
}

void check_copy(const checked_file& target, const copy_span& span, progress_line& progress, fingerprint_state* taken)
{
    if (matches_taking(target, span, &progress, taken)) {
        return;
    }
    copy_span_through_program(target, span, &progress);
    if (!matches_taking(target, span, &progress, taken)) {
        fatal_error("Error writing %s: the file system returned other bytes than were copied", target.path);
    }
}

copy_span piece_of(const copy_span& span, std::int64_t at, std::int32_t count)
{
    const auto* bytes = static_cast<const unsigned char*>(span.bytes);
    return {span.source, bytes == nullptr ? nullptr : bytes + at, span.source_offset + at, span.target_offset + at,
            count};
}

void copy_piece(const checked_file& target, const copy_span& piece, progress_line* progress)
{
    if (piece.source == nullptr) {
        copy_span_through_program(target, piece, progress);
    } else {
        copy_in_program(target, piece, piece.length - copy_in_kernel(target, piece, progress), progress);
    }
}

// A piece read back on the side while the next one is copied.
struct piece_check {
    const checked_file* target;
    copy_span piece;
    fingerprint_state* taken;
    read_back found;
    bool running;
};

void check_piece(void* context)
{
    auto& check = *static_cast<piece_check*>(context);
    check.found = compare_adding(*check.target, check.piece, nullptr, check.taken);
}

// Waits for the piece on the side, if any; false once one differed.
bool piece_checked(piece_check& check)
{
    if (check.running) {
        finish_side_work();
        check.running = false;
        if (check.found.error != 0) {
            read_failure(*check.found.unread, check.found.error);
        }
    }
    return check.found.same;
}

// Copies the span piece by piece, each read back on the side while the next
// is copied. A piece the kernel does not copy whole goes through the
// program's own loop, whose buffer the read-back reads into: from there on
// the span is read back beside the flush, as is one that differed.
void copy_reading_back(const checked_file& target, const copy_span& span, progress_line* progress,
                       early_read_back& early)
{
    early = {true, start_fingerprint(span.length)};
    piece_check check{&target, span, &early.taken, {true, 0, nullptr}, false};
    for_each_chunk(0, span.length, PIECE_SIZE, [&](std::int64_t at, std::int32_t count) {
        const copy_span piece = piece_of(span, at, count);
        const std::int64_t left = copy_in_kernel(target, piece, progress);
        if (left != 0) {
            early.matched = false;
            (void)piece_checked(check);
            copy_in_program(target, piece, count - left, progress);
        }
        start_writing_out(target.handle, piece.target_offset, count);
        early.matched = piece_checked(check) && early.matched;
        if (early.matched) {
            check.piece = piece;
            check.running = true;
            start_side_work(check_piece, &check);
        }
        return true;
    });
    early.matched = piece_checked(check) && early.matched;
}

} // namespace

bool copy_matches(const checked_file& target, const copy_span& span, progress_line* progress)
{
    return matches_taking(target, span, progress, nullptr);
}

void copy_span_to(const checked_file& target, const copy_span& span, progress_line* progress,
                  early_read_back* early)
{
    if (early != nullptr) {
        early->matched = false;
    }
    const bool from_disk = span.source != nullptr && span.length > PIECE_SIZE && !source_in_memory(span);
    if (from_disk) {
        expect_reading_in_order(span.source->handle, span.source_offset, span.length);
    }
    if (early != nullptr && CHECK_COPIES && span.source != nullptr && span.length > PIECE_SIZE) {
        copy_reading_back(target, span, progress, *early);
        return;
    }
    for_each_chunk(0, span.length, PIECE_SIZE, [&](std::int64_t at, std::int32_t count) {
        const copy_span piece = piece_of(span, at, count);
        copy_piece(target, piece, progress);
        if (!from_disk) {
            start_writing_out(target.handle, piece.target_offset, count);
        }
        return true;
    });
}

void flush_checked_copies(const checked_file& target, const copy_span* spans, std::size_t count,
                          progress_line& progress, copies_read_back* found, const early_read_back* early)
{
    if (!CHECK_COPIES) {
        flush_to_disk(target);
        if (found != nullptr) {
            *found = {false, 0, state_of(target)};
        }
        return;
    }
    std::int64_t total = 0;
    for (std::size_t i = 0; i < count; ++i) {
        total += spans[i].length;
    }
    begin_progress(progress, "Checking", target.path, "", total);
    const std::size_t read_early = count != 0 && early != nullptr && early->matched ? 1 : 0;
    fingerprint_state taken = read_early != 0 ? early->taken : fingerprint_state{};
    side_check check{&target, spans, count, read_early, {true, 0, nullptr}, found != nullptr ? &taken : nullptr};
    if (read_early == count) {
        flush_to_disk(target);
    } else {
        // The flush waits for the disk whatever the program does meanwhile;
        // reading back beside it costs no time where a core is free.
        flush_beside(target, check_on_side, &check);
    }
    if (check.found.error != 0) {
        read_failure(*check.found.unread, check.found.error);
    }
    for (std::size_t i = 0; i < check.first_wrong; ++i) {
        count_copied(&progress, spans[i].length);
    }
    if (check.first_wrong != count) {
        for (std::size_t i = check.first_wrong; i < count; ++i) {
            check_copy(target, spans[i], progress, i == 0 ? check.taken : nullptr);
        }
        flush_to_disk(target);
    }
    if (found != nullptr) {
        *found = {true, fingerprint_value(taken), state_of(target)};
    }
}
