// Copies between files and their read-back, in chunks through two shared
// buffers, and the fingerprints taken of what is read. A copy is read back
// before anything is replaced or deleted on its word: file systems have
// shipped copy paths that report success and leave other bytes. A build for
// measuring the check's price turns it off.
//
// The calling sequence:
//   copy_span_to(target, spans[0], &progress, &early);   early may be nullptr
//   copy_span_to(target, spans[i], &progress, nullptr);  each other span
//   flush_checked_copies(target, spans, count, progress, &found, &early);
//   ...                                                   the copies are right and on the disk
// copy_span_to and flush_checked_copies end the run on failure; a span that
// still differs once copied again is a write failure. copy_matches and the
// fingerprints answer; a failed read in them ends the run.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "checked_file.h"
#include "console.h"
#include "progress.h"

#ifdef TARNWICK_UNCHECKED_COPIES
constexpr bool CHECK_COPIES = false;
#else
constexpr bool CHECK_COPIES = true;
#endif
// `length` bytes that go to `target_offset`: from `source` at
// `source_offset`, or, with no source, from `bytes` in memory.
struct copy_span {
    const checked_file* source;
    const void* bytes;
    std::int64_t source_offset;
    std::int64_t target_offset;
    std::int32_t length;
};
// A fingerprint taken piece by piece, from bytes a caller reads anyway:
// every piece but the last a whole number of chunks (COPY_CHUNK_SIZE).
struct fingerprint_state {
    std::array<std::uint64_t, 4> lanes;
    std::uint64_t tail;
};
// What reading a span back while it was copied found (see copy_span_to).
struct early_read_back {
    bool matched;             // every piece was read back as it was copied, and matched its source
    fingerprint_state taken;  // of the span's bytes, once they matched
};
// Copies the span, inside the kernel where the system can, and counts its
// bytes towards `progress`, if any. With `early`, a span from a file over
// one piece of a copy (16 MiB) is read back as it is copied: each piece is
// compared on the side while the next is copied, behind the kernel's copy
// or the disk's reads, and flush_checked_copies does not read it again.
// Writing out starts without waiting (no flush: that stays the caller's),
// but for a span from the disk left to be read back beside the flush.
void copy_span_to(const checked_file& target, const copy_span& span, progress_line* progress,
                  early_read_back* early);
// True when the span's bytes are in `target`; false when either file ends
// before them.
bool copy_matches(const checked_file& target, const copy_span& span, progress_line* progress);
// Flushes `target` and meanwhile reads every span back from it in fixed
// buffers and compares it with its source: the disk writes while the
// program reads. A span that differs is copied once more through the
// program's own buffer and compared again, and the file flushed again; one
// that still differs is a write failure. Returns once the copies are right
// and on the disk. With `found`, it also tells what the read-back found.
// `early`, if any, is what copy_span_to read back of the first span.
struct copies_read_back {
    bool fingerprinted;        // false where nothing is read back (CHECK_COPIES off)
    std::uint64_t first_span;  // the fingerprint of the first span's bytes as read back
    // The target's status once the read-back and the flush are over: taken
    // after the file's own writes, which some systems date at the flush.
    file_state state;
};
void flush_checked_copies(const checked_file& target, const copy_span* spans, std::size_t count,
                          progress_line& progress, copies_read_back* found, const early_read_back* early);

// Copies through the program, read-backs and fingerprints move a file in
// chunks of one size, through two buffers they share: one allocation, however
// large the file, and nothing large on a thread's stack (1 MiB on Windows).
// 1 MiB, the size the read-back always had: a late update of a 256 MiB
// archive under wine took 2.5-3.9 s with 4 KiB chunks, 1.3-1.8 s with 1 MiB.
constexpr std::int32_t COPY_CHUNK_SIZE = 1 << 20;
// One of the two shared buffers, `which` 0 or 1, each COPY_CHUNK_SIZE bytes: a
// caller holds them only while its own loop runs.
unsigned char* shared_buffer(int which);
// Calls `visit(at, count)` for each chunk of bytes from `at` up to
// `length`, each `size` bytes but the last, until a call returns false;
// true when none did.
template <typename visitor>
bool for_each_chunk(std::int64_t at, std::int64_t length, std::int32_t size, visitor visit)
{
    while (at < length) {
        const std::int64_t left = length - at;
        const auto count = static_cast<std::int32_t>(left < size ? left : size);
        if (!visit(at, count)) {
            return false;
        }
        at += count;
    }
    return true;
}

// A fingerprint of `length` bytes at `offset`, read in chunks: the same
// bytes give the same value on every host.
std::uint64_t fingerprint_of(const checked_file& file, std::int64_t offset, std::int64_t length);
std::uint64_t fingerprint_of_bytes(const void* bytes, std::size_t count);
// The same taken piece by piece (fingerprint_state).
fingerprint_state start_fingerprint(std::int64_t length);
void add_to_fingerprint(fingerprint_state& state, const void* bytes, std::size_t count);
std::uint64_t fingerprint_value(const fingerprint_state& state);
