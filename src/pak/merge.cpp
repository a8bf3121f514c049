#include "merge.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "copies.h"
#include "open_file.h"
#include "pak_format.h"

namespace {

bool named_in(const pak_directory& directory, const pak_entry& entry)
{
    for (std::int32_t i = 0; i < directory.count; ++i) {
        if (names_match(directory.entries[static_cast<std::size_t>(i)].name.data(), entry.name.data())) {
            return true;
        }
    }
    return false;
}

void find_replaced(const pak_directory& original, const pak_directory& update, replaced_entries& replaced)
{
    for (std::int32_t i = 0; i < original.count; ++i) {
        const auto slot = static_cast<std::size_t>(i);
        replaced[slot] = named_in(update, original.entries[slot]);
    }
}

// Kept members that the result places exactly where the original has them
// are already there, byte for byte; so is every member before them.
std::int64_t end_of_members_in_place(const pak_directory& original, const replaced_entries& replaced)
{
    std::int64_t end = PAK_HEADER_SIZE;
    for (std::int32_t i = 0; i < original.count; ++i) {
        const auto slot = static_cast<std::size_t>(i);
        const pak_entry& entry = original.entries[slot];
        if (replaced[slot] || entry.file_length == 0) {
            continue;
        }
        if (entry.file_offset != end) {
            break;
        }
        end += entry.file_length;
    }
    return end;
}

[[noreturn]] void refuse_member(const char* source, std::int32_t index, const pak_entry& entry, const char* fault,
                                std::int64_t value)
{
    fatal_error("Damaged archive %s: member %d (%s) %s %lld", source, index + 1,
                shown_text(entry.name.data()).c_str(), fault, static_cast<long long>(value));
}

// Makes sure the copy of a member can neither read at an impossible offset
// nor run short, so that no fault is found after the target has changed.
void check_member_data(const char* source, std::int32_t source_length, std::int32_t index, const pak_entry& entry)
{
    if (entry.file_offset < 0) {
        refuse_member(source, index, entry, "starts at negative offset", entry.file_offset);
    }
    if (entry.file_length < 0) {
        refuse_member(source, index, entry, "has negative length", entry.file_length);
    }
    const std::int64_t end = static_cast<std::int64_t>(entry.file_offset) + entry.file_length;
    if (end > MAX_FILE_SIZE) {
        refuse_member(source, index, entry, "reaches past offset", MAX_FILE_SIZE);
    }
    if (entry.file_length > 0 && end > source_length) {
        fail_short_file(source, source_length,
                        "but member " + std::to_string(index + 1) + " (" + shown_text(entry.name.data()) +
                            ") ends at byte " + std::to_string(end));
    }
}

void append_output_entry(merge_plan& plan, const char* target_path, const pak_entry& entry)
{
    const auto slot = static_cast<std::size_t>(plan.output.count);
    const std::int64_t file_end = plan.data_end + entry.file_length + OUTPUT_DIRECTORY_SIZE;
    if (file_end > MAX_FILE_SIZE) {
        fatal_error("The updated %s would be %lld bytes or more, more than a pak file can address", target_path,
                    static_cast<long long>(file_end));
    }
    pak_entry& out = plan.output.entries[slot];
    std::memcpy(out.name.data(), entry.name.data(), std::strlen(entry.name.data()) + 1);
    out.file_offset = static_cast<std::int32_t>(plan.data_end);
    out.file_length = entry.file_length;
    plan.source_offset[slot] = entry.file_offset;
    plan.data_end += entry.file_length;
    plan.output.count += 1;
}

void plan_output(merge_plan& plan, const merge_sources& sources, const char* target_path)
{
    plan.data_end = PAK_HEADER_SIZE;
    find_replaced(plan.original, plan.update, plan.replaced);
    for (std::int32_t i = 0; i < plan.original.count; ++i) {
        const auto slot = static_cast<std::size_t>(i);
        const pak_entry& entry = plan.original.entries[slot];
        if (!plan.replaced[slot]) {
            check_member_data(sources.original_name, sources.original_length, i, entry);
            append_output_entry(plan, target_path, entry);
        }
    }
    plan.kept = plan.output.count;
    for (std::int32_t i = 0; i < plan.update.count; ++i) {
        const pak_entry& entry = plan.update.entries[static_cast<std::size_t>(i)];
        check_member_data(sources.update_name, sources.update_length, i, entry);
        append_output_entry(plan, target_path, entry);
    }
}

using directory_table = std::array<pak_entry, MAX_PAK_ENTRIES>;

// The output directory as the file holds it: every slot, integers little-endian.
std::unique_ptr<directory_table> directory_on_disk(const merge_plan& plan)
{
    auto table = std::make_unique<directory_table>(plan.output.entries);
    for (std::int32_t i = 0; i < plan.output.count; ++i) {
        pak_entry& entry = (*table)[static_cast<std::size_t>(i)];
        entry.file_offset = le32(entry.file_offset);
        entry.file_length = le32(entry.file_length);
    }
    return table;
}

// The first kept member the rewrite writes: those that end before `start`
// are already in place.
std::int32_t first_rewritten(const merge_plan& plan, std::int64_t start)
{
    std::int32_t i = 0;
    while (i < plan.kept) {
        const pak_entry& entry = plan.output.entries[static_cast<std::size_t>(i)];
        if (entry.file_offset + static_cast<std::int64_t>(entry.file_length) > start) {
            break;
        }
        ++i;
    }
    return i;
}

// Kept members whose data lie back to back in the original form one run:
// a whole untouched stretch of the archive moves, and is checked, at once.
// Returns the index past the run that begins at `i`; `length` is its size.
std::int32_t kept_run_end(const merge_plan& plan, std::int32_t i, std::int64_t& length)
{
    const std::int64_t run_offset = plan.source_offset[static_cast<std::size_t>(i)];
    std::int64_t run_end = run_offset;
    for (; i < plan.kept && plan.source_offset[static_cast<std::size_t>(i)] == run_end; ++i) {
        run_end += plan.output.entries[static_cast<std::size_t>(i)].file_length;
    }
    length = run_end - run_offset;
    return i;
}

// What the rewrite copies, in order: the kept members from `start` on, a
// run at a time, then each member of update.pak, then the directory.
struct merge_spans {
    std::array<copy_span, MAX_PAK_ENTRIES + 1> spans;
    std::size_t count;
    std::size_t first_update;
};

void add_span(merge_spans& list, const copy_span& span)
{
    list.spans[list.count] = span;
    list.count += 1;
}

void list_spans(merge_spans& list, const merge_plan& plan, const directory_table& directory,
                const checked_file& original, const checked_file& update, std::int64_t start)
{
    list.count = 0;
    for (std::int32_t i = first_rewritten(plan, start); i < plan.kept;) {
        const auto first = static_cast<std::size_t>(i);
        std::int64_t length = 0;
        i = kept_run_end(plan, i, length);
        add_span(list, {&original, nullptr, plan.source_offset[first], plan.output.entries[first].file_offset,
                        static_cast<std::int32_t>(length)});
    }
    list.first_update = list.count;
    for (std::int32_t i = plan.kept; i < plan.output.count; ++i) {
        const auto slot = static_cast<std::size_t>(i);
        const pak_entry& entry = plan.output.entries[slot];
        add_span(list, {&update, nullptr, plan.source_offset[slot], entry.file_offset, entry.file_length});
    }
    add_span(list, {nullptr, directory.data(), 0, plan.data_end, OUTPUT_DIRECTORY_SIZE});
}

// Where the directory lies goes into the header under the rewrite mark, so
// that it reaches the disk with the data and a later run finds a complete
// archive behind the mark.
void write_directory_place(const checked_file& target, const merge_plan& plan)
{
    const pak_header header = merged_header(plan);
    const std::array<std::int32_t, 2> place = {le32(header.dir_offset), le32(header.dir_length)};
    write_exact(target, offsetof(pak_header, dir_offset), place.data(), static_cast<std::int32_t>(sizeof place));
}

// Compares one member of update.pak with one of the target, in fixed buffers.
bool same_member(const pak_entry& held, const checked_file& target, const pak_entry& offered,
                 const checked_file& update)
{
    return std::strcmp(held.name.data(), offered.name.data()) == 0 && held.file_length == offered.file_length &&
           copy_matches(target, {&update, nullptr, offered.file_offset, held.file_offset, held.file_length}, nullptr);
}

} // namespace

pak_header merged_header(const merge_plan& plan)
{
    return {PAK_MAGIC, static_cast<std::int32_t>(plan.data_end), plan.output.count * PAK_ENTRY_SIZE};
}

void plan_merge(merge_plan& plan, const merge_sources& sources, const char* target_path)
{
    // Counted before replaced members are dropped, so a sum over the limit is
    // refused even when the result would have fitted.
    if (plan.original.count + plan.update.count > MAX_PAK_ENTRIES) {
        fatal_error("Resulting pak file would be too large!\nContact Pak Author.\n");
    }
    plan.output.capacity = MAX_PAK_ENTRIES;
    plan_output(plan, sources, target_path);
    plan.cut = end_of_members_in_place(plan.original, plan.replaced);
}

void write_merge(const merge_plan& plan, const checked_file& original, const checked_file& update,
                 const checked_file& target, std::int64_t start, progress_line& progress, member_report report)
{
    const auto directory = directory_on_disk(plan);
    const auto list = std::make_unique<merge_spans>();
    list_spans(*list, plan, *directory, original, update, start);
    begin_progress(progress, "Rewriting", target.path, "", plan.data_end - start);
    for (std::size_t i = 0; i < list->count; ++i) {
        if (i >= list->first_update && i + 1 < list->count) {
            report(plan.output.entries[static_cast<std::size_t>(plan.kept) + i - list->first_update]);
        }
        copy_span_to(target, list->spans[i], &progress, nullptr);
    }
    flush_checked_copies(target, list->spans.data(), list->count, progress, nullptr, nullptr);
    end_progress(progress);
}

void seal_merge(const merge_plan& plan, const checked_file& target)
{
    // Placed before it is cut: a target cut to length without the record
    // would otherwise still hold the original's place, and be taken for
    // one whose rewrite had not begun.
    write_directory_place(target, plan);
    flush_to_disk(target);
    // Written over in place and cut to length at the end: freeing the old
    // blocks first only to allocate them again costs as much as the copy.
    truncate_at(target, plan.data_end + OUTPUT_DIRECTORY_SIZE);
    flush_to_disk(target);
}

bool update_already_applied(const pak_directory& target_directory, const checked_file& target,
                            const pak_directory& update_directory, const checked_file& update)
{
    const std::int32_t first = target_directory.count - update_directory.count;
    if (first < 0) {
        return false;
    }
    for (std::int32_t i = 0; i < update_directory.count; ++i) {
        const std::int32_t held = first + i;
        if (!same_member(target_directory.entries[static_cast<std::size_t>(held)], target,
                         update_directory.entries[static_cast<std::size_t>(i)], update)) {
            return false;
        }
    }
    return true;
}

bool update_members_in_place(const merge_plan& plan, const checked_file& target, const checked_file& update)
{
    for (std::int32_t i = plan.kept; i < plan.output.count; ++i) {
        const auto slot = static_cast<std::size_t>(i);
        const pak_entry& entry = plan.output.entries[slot];
        if (!copy_matches(target, {&update, nullptr, plan.source_offset[slot], entry.file_offset, entry.file_length},
                          nullptr)) {
            return false;
        }
    }
    return true;
}

bool merge_written(const merge_plan& plan, const pak_header& target_header, const checked_file& target,
                   const checked_file& update)
{
    const pak_header merged = merged_header(plan);
    if (target_header.dir_offset != merged.dir_offset || target_header.dir_length != merged.dir_length ||
        file_length(target) != plan.data_end + OUTPUT_DIRECTORY_SIZE || !update_members_in_place(plan, target, update)) {
        return false;
    }
    const auto directory = directory_on_disk(plan);
    return copy_matches(target, {nullptr, directory->data(), 0, plan.data_end, OUTPUT_DIRECTORY_SIZE}, nullptr);
}

bool merge_already_done(const merge_plan& plan, const pak_header& target_header, const checked_file& target,
                        const checked_file& update)
{
    const std::int64_t kept_end =
        plan.kept < plan.output.count ? plan.output.entries[static_cast<std::size_t>(plan.kept)].file_offset
                                      : plan.data_end;
    return plan.cut >= kept_end && archive_length(target) == plan.data_end + OUTPUT_DIRECTORY_SIZE &&
           merge_written(plan, target_header, target, update);
}

bool merged_from(const pak_directory& result, const pak_directory& original)
{
    // The kept members come first, in the original's order: match them
    // greedily; every member passed over must be replaced by one after them.
    std::int32_t kept = 0;
    auto dropped = std::make_unique<replaced_entries>();
    for (std::int32_t j = 0; j < original.count; ++j) {
        const pak_entry& entry = original.entries[static_cast<std::size_t>(j)];
        const bool same = kept < result.count &&
                          std::strcmp(result.entries[static_cast<std::size_t>(kept)].name.data(), entry.name.data()) == 0 &&
                          result.entries[static_cast<std::size_t>(kept)].file_length == entry.file_length;
        (*dropped)[static_cast<std::size_t>(j)] = !same;
        kept += same ? 1 : 0;
    }
    for (std::int32_t j = 0; j < original.count; ++j) {
        if (!(*dropped)[static_cast<std::size_t>(j)]) {
            continue;
        }
        bool replaced = false;
        for (std::int32_t i = kept; i < result.count && !replaced; ++i) {
            replaced = names_match(result.entries[static_cast<std::size_t>(i)].name.data(),
                                   original.entries[static_cast<std::size_t>(j)].name.data());
        }
        if (!replaced) {
            return false;
        }
    }
    return true;
}

const char* replaced_name(const merge_plan& plan, const pak_entry& entry, bool& replaces)
{
    replaces = false;
    const char* other_case = nullptr;
    for (std::int32_t j = 0; j < plan.original.count; ++j) {
        const pak_entry& original = plan.original.entries[static_cast<std::size_t>(j)];
        if (names_match(original.name.data(), entry.name.data())) {
            replaces = true;
            if (other_case == nullptr && std::strcmp(original.name.data(), entry.name.data()) != 0) {
                other_case = original.name.data();
            }
        }
    }
    return other_case;
}
