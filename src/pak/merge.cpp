#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "pak_format.h"

namespace {

// Which original entries update.pak names, by their index in the original.
using replaced_entries = std::array<bool, MAX_PAK_ENTRIES>;

// Everything a merge decides before it writes: the output directory and,
// for each output entry, where its data start in its source. Entries below
// `kept` come from the original archive, the others from update.pak.
struct merge_plan {
    pak_directory original;
    pak_directory update;
    pak_directory output;
    replaced_entries replaced;
    std::array<std::int32_t, MAX_PAK_ENTRIES> source_offset;
    std::int32_t kept;
    std::int64_t data_end;
};

// update.pak is only read, so its close needs no check. The guard also closes
// it when a harness that replaces fatal_error unwinds through the merge.
struct stream_closer {
    void operator()(std::FILE* stream) const { (void)std::fclose(stream); }
};

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

[[noreturn]] void refuse_member(const checked_file& source, std::int32_t index, const pak_entry& entry,
                                const char* fault, std::int64_t value)
{
    fatal_error("Damaged archive %s: member %d (%s) %s %lld", source.path, index + 1,
                shown_text(entry.name.data()).c_str(), fault, static_cast<long long>(value));
}

// Makes sure the copy of a member can neither seek to an impossible position
// nor run short, so that no fault is found after the target has changed.
void check_member_data(const checked_file& source, std::int32_t source_length, std::int32_t index,
                       const pak_entry& entry)
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
        fatal_error("File read failure");
    }
}

void append_output_entry(merge_plan& plan, const checked_file& target, const pak_entry& entry)
{
    const auto slot = static_cast<std::size_t>(plan.output.count);
    const std::int64_t file_end = plan.data_end + entry.file_length + OUTPUT_DIRECTORY_SIZE;
    if (file_end > MAX_FILE_SIZE) {
        fatal_error("The updated %s would be %lld bytes or more, more than a pak file can address", target.path,
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

void plan_output(merge_plan& plan, const checked_file& original, const checked_file& update,
                 const checked_file& target)
{
    const std::int32_t original_length = stream_length(original);
    const std::int32_t update_length = stream_length(update);
    plan.data_end = PAK_HEADER_SIZE;
    find_replaced(plan.original, plan.update, plan.replaced);
    for (std::int32_t i = 0; i < plan.original.count; ++i) {
        const auto slot = static_cast<std::size_t>(i);
        const pak_entry& entry = plan.original.entries[slot];
        if (!plan.replaced[slot]) {
            check_member_data(original, original_length, i, entry);
            append_output_entry(plan, target, entry);
        }
    }
    plan.kept = plan.output.count;
    for (std::int32_t i = 0; i < plan.update.count; ++i) {
        const pak_entry& entry = plan.update.entries[static_cast<std::size_t>(i)];
        check_member_data(update, update_length, i, entry);
        append_output_entry(plan, target, entry);
    }
}

void copy_member(const checked_file& source, const checked_file& target, std::int32_t offset, std::int32_t length)
{
    if (length > 0) {
        seek_to(source, offset);
        copy_bytes(source, target, static_cast<std::uint32_t>(length));
    }
}

pak_header final_header(const merge_plan& plan)
{
    return {PAK_MAGIC, static_cast<std::int32_t>(plan.data_end), plan.output.count * PAK_ENTRY_SIZE};
}

void write_directory(const checked_file& target, merge_plan& plan)
{
    for (std::int32_t i = 0; i < plan.output.count; ++i) {
        pak_entry& entry = plan.output.entries[static_cast<std::size_t>(i)];
        entry.file_offset = le32(entry.file_offset);
        entry.file_length = le32(entry.file_length);
    }
    write_exact(target, plan.output.entries.data(), OUTPUT_DIRECTORY_SIZE);
}

// Kept members whose data lie back to back in the original are copied as one
// run: a whole untouched stretch of the archive moves in a single copy.
// Members that end before `start` are already in place.
void copy_kept_members(const checked_file& original, const checked_file& target, const merge_plan& plan,
                       std::int64_t start)
{
    std::int32_t i = 0;
    for (; i < plan.kept; ++i) {
        const pak_entry& entry = plan.output.entries[static_cast<std::size_t>(i)];
        if (entry.file_offset + static_cast<std::int64_t>(entry.file_length) > start) {
            break;
        }
    }
    while (i < plan.kept) {
        const std::int32_t run_offset = plan.source_offset[static_cast<std::size_t>(i)];
        std::int64_t run_end = run_offset;
        for (; i < plan.kept && plan.source_offset[static_cast<std::size_t>(i)] == run_end; ++i) {
            run_end += plan.output.entries[static_cast<std::size_t>(i)].file_length;
        }
        copy_member(original, target, run_offset, static_cast<std::int32_t>(run_end - run_offset));
    }
}

void write_members(const checked_file& original, const checked_file& update, const checked_file& target,
                   const merge_plan& plan, std::int64_t start)
{
    // Marked first: once the target changes, no later run may take it for
    // an archive and copy it over its backup.
    write_target_header(target, rewrite_stage::rewriting, final_header(plan));
    // Written over in place and cut to length at the end: freeing the old
    // blocks first only to allocate them again costs as much as the copy.
    seek_to(target, start);
    begin_progress("Rewriting", target.path, "", plan.data_end - start);
    copy_kept_members(original, target, plan, start);
    for (std::int32_t i = plan.kept; i < plan.output.count; ++i) {
        const auto slot = static_cast<std::size_t>(i);
        const pak_entry& entry = plan.output.entries[slot];
        print_text("Updating %s : %i bytes\n", shown_text(entry.name.data()).c_str(), entry.file_length);
        copy_member(update, target, plan.source_offset[slot], entry.file_length);
    }
}

} // namespace

std::int64_t first_changed_byte(const pak_directory& original, const pak_directory& update)
{
    auto replaced = std::make_unique<replaced_entries>();
    find_replaced(original, update, *replaced);
    return end_of_members_in_place(original, *replaced);
}

pak_header merge_update(const checked_file& original, const checked_file& target, bool target_is_original)
{
    // Value-initialised, so unused entries and the bytes after each name are zero.
    auto plan = std::make_unique<merge_plan>();
    plan->original.capacity = MAX_PAK_ENTRIES;
    plan->update.capacity = MAX_UPDATE_ENTRIES;
    plan->output.capacity = MAX_PAK_ENTRIES;

    read_pak_directory(original, plan->original);
    const checked_file update = open_for_read(UPDATE_ARCHIVE_NAME);
    std::unique_ptr<std::FILE, stream_closer> update_guard(update.stream);
    read_pak_directory(update, plan->update);
    // Counted before replaced members are dropped, so a sum over the limit is
    // refused even when the result would have fitted.
    if (plan->original.count + plan->update.count > MAX_PAK_ENTRIES) {
        fatal_error("Resulting pak file would be too large!\nContact Pak Author.\n");
    }
    plan_output(*plan, original, update, target);

    const std::int64_t start =
        target_is_original ? end_of_members_in_place(plan->original, plan->replaced) : PAK_HEADER_SIZE;
    write_members(original, update, target, *plan, start);
    update_guard.reset();
    write_directory(target, *plan);
    truncate_at(target, tell_position(target));
    flush_to_disk(target);
    end_progress();
    return final_header(*plan);
}
