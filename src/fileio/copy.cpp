// Copies between files, and the read-back that checks them. Every span is
// read back in fixed buffers, whatever its size, and a wrong one is redone
// once through the program's own loop: a kernel copy path that lied once is
// not asked again.
#include <array>
#include <cstring>

#include "checked_io.h"
#include "file_system.h"

namespace {

constexpr std::uint32_t PROGRESS_PIECE_SIZE = 16U << 20U;

void count_copied(progress_line* progress, std::int64_t bytes)
{
    if (progress != nullptr && progress_wanted(*progress)) {
        count_progress(*progress, bytes);
    }
}

// Moves the span inside the kernel, without a user buffer. Returns how many
// of its bytes are left to the program's loop: all of them when the system
// refuses the copy or the source does not hold them all (so that the loop
// fails at the same byte with the same message as ever), the rest when the
// system gives up part way.
std::int64_t copy_in_kernel(const checked_file& target, const copy_span& span, progress_line* progress)
{
    if (static_cast<std::int64_t>(span.length) > file_length(*span.source) - span.source_offset) {
        return span.length;
    }
    // Whole, unless a progress line wants to hear between the pieces.
    const auto length = static_cast<std::uint32_t>(span.length);
    const std::uint32_t piece = progress != nullptr && progress_wanted(*progress) ? PROGRESS_PIECE_SIZE : length;
    std::uint32_t done = 0;
    while (done != length) {
        const std::uint32_t left = length - done;
        const std::int64_t moved = kernel_copy(span.source->handle, span.source_offset + done, target.handle,
                                               span.target_offset + done, left < piece ? left : piece);
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
    std::array<unsigned char, COPY_CHUNK_SIZE> buffer;
    for (std::int64_t at = skipped; at < span.length;) {
        const std::int64_t left = span.length - at;
        const auto chunk = static_cast<std::int32_t>(left < COPY_CHUNK_SIZE ? left : COPY_CHUNK_SIZE);
        read_exact(*span.source, span.source_offset + at, buffer.data(), chunk);
        write_exact(target, span.target_offset + at, buffer.data(), chunk);
        at += chunk;
        count_copied(progress, chunk);
    }
}

// Fixed, and never more: comparing a 2 GiB archive costs no more memory
// than comparing a small one.
constexpr std::int32_t COMPARE_CHUNK_SIZE = 1 << 20;
std::array<unsigned char, COMPARE_CHUNK_SIZE> copied_chunk;
std::array<unsigned char, COMPARE_CHUNK_SIZE> source_chunk;

} // namespace

bool copy_matches(const checked_file& target, const copy_span& span, progress_line* progress)
{
    const auto* bytes = static_cast<const unsigned char*>(span.bytes);
    for (std::int64_t at = 0; at < span.length;) {
        const std::int64_t left = span.length - at;
        const auto chunk = static_cast<std::int32_t>(left < COMPARE_CHUNK_SIZE ? left : COMPARE_CHUNK_SIZE);
        // A file that ends early, as a copy cut short does, differs.
        if (read_up_to(target, span.target_offset + at, copied_chunk.data(), chunk) != chunk) {
            return false;
        }
        const unsigned char* expected = bytes + at;
        if (span.source != nullptr) {
            if (read_up_to(*span.source, span.source_offset + at, source_chunk.data(), chunk) != chunk) {
                return false;
            }
            expected = source_chunk.data();
        }
        if (std::memcmp(copied_chunk.data(), expected, static_cast<std::size_t>(chunk)) != 0) {
            return false;
        }
        at += chunk;
        count_copied(progress, chunk);
    }
    return true;
}

namespace {

void copy_span_through_program(const checked_file& target, const copy_span& span, progress_line* progress)
{
    if (span.source == nullptr) {
        write_exact(target, span.target_offset, span.bytes, span.length);
        count_copied(progress, span.length);
        return;
    }
    copy_in_program(target, span, 0, progress);
}

} // namespace

void copy_span_to(const checked_file& target, const copy_span& span, progress_line* progress)
{
    if (span.length == 0) {
        return;
    }
    if (span.source == nullptr) {
        copy_span_through_program(target, span, progress);
        return;
    }
    copy_in_program(target, span, span.length - copy_in_kernel(target, span, progress), progress);
}

void verify_copies(const checked_file& target, const copy_span* spans, std::size_t count, progress_line& progress)
{
    if (!CHECK_COPIES) {
        return;
    }
    std::int64_t total = 0;
    for (std::size_t i = 0; i < count; ++i) {
        total += spans[i].length;
    }
    begin_progress(progress, "Checking", target.path, "", total);
    for (std::size_t i = 0; i < count; ++i) {
        if (copy_matches(target, spans[i], &progress)) {
            continue;
        }
        copy_span_through_program(target, spans[i], &progress);
        if (!copy_matches(target, spans[i], &progress)) {
            fatal_error("Error writing %s: the file system returned other bytes than were copied", target.path);
        }
    }
}
