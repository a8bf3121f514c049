// The run's one decision, made in process from files laid out on disk: the
// cheapest way to reach every start and every refusal of the plan.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "plan.h"
#include "test_support.h"

using namespace testkit;
namespace fs = std::filesystem;

namespace {

class Plan : public TempDirTest {};

const char* start_name(start_point start) {
    switch (start) {
    case start_point::fresh: return "fresh";
    case start_point::already_applied: return "already applied";
    case start_point::resume_rewrite: return "resume";
    case start_point::finish_complete: return "finish";
    case start_point::finish_then_apply: return "finish, then apply";
    case start_point::unmark_then_apply: return "unmark, then apply";
    }
    return "?";
}

const char* standing_name(backup_standing standing) {
    switch (standing) {
    case backup_standing::missing: return "missing";
    case backup_standing::original: return "original";
    case backup_standing::other: return "other";
    case backup_standing::changed: return "changed";
    }
    return "?";
}

// An archive of one member of `length` zero bytes, which take no room on disk.
void write_sparse_pak(const std::string& path, std::int64_t length) {
    std::string pak = build_pak({{"big", ""}});
    put_le32(pak, 4, static_cast<std::int32_t>(12 + length));
    put_le32(pak, 12 + 60, static_cast<std::int32_t>(length));
    write_file(path, pak.substr(0, 12));
    fs::resize_file(path, static_cast<std::uintmax_t>(12 + length));
    std::ofstream(path, std::ios::binary | std::ios::app) << pak.substr(12);
}

}  // namespace

TEST_F(Plan, WhatIsOnDiskDecidesWhereTheRunStarts) {
    const std::string o = build_pak({{"a", random_bytes(300, 1)}, {"b", random_bytes(900, 2)}, {"c", "333"}});
    const std::string u = build_pak({{"B", "new b"}, {"d", "dd"}});
    const std::string u2 = build_pak({{"A", "patch two"}});
    const std::string empty_update = build_pak({});
    const std::string other = build_pak({{"other", "archive"}});
    const std::string result = model_merge(o, u)->archive;
    const auto marked = [](std::string pak, const char* mark) { return pak.replace(0, 4, mark, 4); };
    const std::string rewriting = marked(result, "\x89TWr").substr(0, 40);
    const std::string complete = marked(result, "\x89TWc");
    const std::string full_original = build_pak(numbered(MAX_PAK_ENTRIES - 1, "m", "o"));
    const std::string full_result = model_merge(full_original, build_pak({{"n", "u"}}))->archive;
    // Same names and lengths as u, other bytes: a result of the same shape.
    const std::string u_shape = build_pak({{"B", "NEW B"}, {"d", "DD"}});
    std::string retouched = o;
    retouched[20] = static_cast<char>(~retouched[20]);
    // The rewrite written, its record there; under the backup's place, then under the result's.
    const std::string written_at_o = with_record(marked(result, "\x89TWr").replace(4, 8, o, 4, 8), o, u);
    const std::string placed = with_record(marked(result, "\x89TWr"), o, u);
    const std::string sealed = marked(result, "\x89TWr");
    // A record of the earlier 48-byte layout: no fingerprint of the whole original.
    std::string layout_48 = placed.substr(0, placed.size() - REWRITE_RECORD_SIZE);
    std::string record_48 = placed.substr(layout_48.size(), 40);
    record_48.replace(0, 4, "TWjr");
    record_48.replace(20, 4, std::string(4, '\0'));
    const std::uint64_t check = fingerprint_of_bytes(record_48.data(), record_48.size());
    for (unsigned i = 0; i < 8; ++i) record_48 += static_cast<char>(check >> (8 * i));
    layout_48 += record_48;
    // An archive this tool wrote, and a patch of same-size replacements: the
    // result's directory lies where the original's did.
    const std::string tool_written = model_merge(o, empty_update)->archive;
    const std::string same_size = build_pak({{"b", random_bytes(900, 7)}});
    const std::string same_place = marked(model_merge(tool_written, same_size)->archive, "\x89TWr");
    // Header, member, a two-byte update member, the directory and the record.
    const std::int64_t largest_member = MAX_FILE_SIZE - 12 - 2 - OUTPUT_DIRECTORY_SIZE - REWRITE_RECORD_SIZE;
    struct plan_case {
        std::string label;
        std::string target;
        std::optional<std::string> backup, update;
        std::string decided;  // start, backup standing and first byte rewritten; or else...
        std::string refusal;  // ...a part of the refusal
        bool marked_sibling = false;  // own.pak, which shares the backup, left cut short
        bool update_is_backup = false;   // update.pak a link to own.bak
        std::int64_t sparse_member = 0;  // the target one member of this many zero bytes, sparse
        char sibling = 0;  // own.pak a 'd'irectory, a 'l'ink to nothing or a named 'p'ipe
    };
    std::vector<plan_case> cases = {
        {"an archive and an update", o, std::nullopt, u, "fresh, first byte 312", ""},
        {"an archive, an update and an earlier backup", o, other, u, "fresh, first byte 312", ""},
        // Only a regular file can be an archive that still needs the backup.
        {"an earlier backup, a folder named like an archive sharing it", o, other, u, "fresh, first byte 312", "",
         false, false, 0, 'd'},
        {"an earlier backup, a link to nothing named like an archive sharing it", o, other, u,
         "fresh, first byte 312", "", false, false, 0, 'l'},
        {"an earlier backup, a named pipe named like an archive sharing it", o, other, u, "fresh, first byte 312", "",
         false, false, 0, 'p'},
        {"an empty update, never taken for one applied", o, std::nullopt, empty_update, "fresh, first byte 1215", ""},
        {"the update already applied", result, o, u, "already applied", ""},
        {"no update.pak", o, std::nullopt, std::nullopt, "", "Error opening update.pak"},
        {"an earlier backup another archive's cut-short update needs", o, other, u, "",
         "the interrupted update of own.pak still needs its original in own.bak", true},
        {"marked, and nothing else changed", marked(o, "\x89TWr"), o, u, "unmark, then apply, first byte 312", ""},
        {"the mark's write torn", marked(o, "P\x41Wr"), o, u, "unmark, then apply, first byte 312", ""},
        {"cut short before its record, its directory's place the original's", marked(o, "\x89TWr").substr(0, 1000),
         o, u, "resume, first byte 12", ""},
        {"cut short with its record", with_record(rewriting, o, u), o, u, "resume, first byte 12", ""},
        {"cut short, the backup missing", with_record(rewriting, o, u), std::nullopt, u, "",
         "its backup own.bak is missing"},
        {"cut short, the backup another archive", with_record(rewriting, o, u), other, u, "",
         "is not the original that update saved"},
        {"cut short, another update.pak", with_record(rewriting, o, u), o, u2, "",
         "update.pak is not the update it was applying"},
        {"cut short, no update.pak", with_record(rewriting, o, u), o, std::nullopt, "", "Error opening update.pak"},
        {"written, its record there, the backup's place", written_at_o, o, u, "resume, first byte 12", ""},
        {"written, the backup's place, update.pak of the same shape", written_at_o, o, u_shape, "",
         "update.pak is not the update it was applying"},
        {"written, the backup's place, no update.pak", written_at_o, o, std::nullopt, "", "Error opening update.pak"},
        {"placed, its record there", placed, o, u, "resume, first byte 12", ""},
        {"placed, update.pak of the same shape", placed, o, u_shape, "", "update.pak is not the update it was applying"},
        {"placed, another update.pak", placed, o, u2, "", "update.pak is not the update it was applying"},
        {"placed, no update.pak", placed, o, std::nullopt, "", "Error opening update.pak"},
        {"placed, the backup changed in place", placed, retouched, u, "",
         "its backup own.bak was changed by another program and no longer holds the original"},
        {"a record of the 48-byte layout", layout_48, o, u, "resume, first byte 12", ""},
        {"a record of the 48-byte layout, which cannot tell a changed backup", layout_48, retouched, u,
         "resume, first byte 12", ""},
        {"sealed", sealed, o, u, "resume, first byte 12", ""},
        {"sealed, update.pak of the same shape", sealed, o, u_shape, "", "update.pak no longer holds"},
        {"sealed, another update.pak", sealed, o, u2, "", "update.pak no longer holds"},
        {"sealed, no update.pak", sealed, o, std::nullopt, "", "update.pak no longer holds"},
        {"sealed where the original's directory was", same_place, tool_written, same_size, "resume, first byte 12", ""},
        {"sealed where the original's directory was, another patch of that shape", same_place, tool_written,
         build_pak({{"b", random_bytes(900, 8)}}), "", "update.pak no longer holds"},
        {"complete, update.pak of the same shape", complete, o, u_shape, "finish, then apply, first byte 315", ""},
        {"complete, no update.pak", complete, o, std::nullopt, "finish, backup original", ""},
        {"complete, the update it holds", complete, o, u, "finish, backup original", ""},
        {"complete, the backup missing", complete, std::nullopt, std::nullopt, "finish, backup missing", ""},
        {"complete, the backup another archive", complete, other, std::nullopt, "finish, backup other", ""},
        {"complete, the backup no archive", complete, "PK" + other, std::nullopt, "finish, backup other", ""},
        {"complete, then another update", complete, o, u2, "finish, then apply, first byte 12", ""},
        {"complete, its mark and length apart", complete + "x", o, u, "", "its mark does not match its length"},
        {"complete with the largest directory", marked(full_result, "\x89TWc"), full_original, std::nullopt,
         "finish, backup original", ""},
        {"complete, update.pak a link to the backup", complete, o, std::nullopt, "",
         "its backup own.bak is the same file as update.pak", false, true},
        // The record goes after the result, and must end within the largest size.
        {"a result whose record ends at the largest size", "", std::nullopt, build_pak({{"n", "nn"}}),
         "fresh, first byte " + std::to_string(largest_member + 12), "", false, false, largest_member},
        {"a result whose record would end a byte past it", "", std::nullopt, build_pak({{"n", "nn"}}), "",
         "leaves no room for the record", false, false, largest_member + 1},
    };
    // Every tear of the two writes that put "PACK" or a mark over the other:
    // each byte the old one or the new one. It is read as the stage before
    // the write, which a run can always finish.
    for (unsigned mask = 1; mask < 15; ++mask) {
        std::string mark_torn = "PACK", magic_torn = "\x89TWc";
        for (std::size_t i = 0; i < 4; ++i) {
            if ((mask >> i) & 1U) {
                mark_torn[i] = "\x89TWr"[i];
                magic_torn[i] = "PACK"[i];
            }
        }
        cases.push_back({"the mark's write torn as " + mark_torn, mark_torn + o.substr(4), o, u,
                         "unmark, then apply, first byte 312", ""});
        cases.push_back({"the magic's write torn as " + magic_torn, magic_torn + result.substr(4), o, std::nullopt,
                         "finish, backup original", ""});
    }
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string d = path("case" + std::to_string(index++));
        fs::create_directory(d);
        write_file(d + "/own.x", c.target);
        if (c.sparse_member != 0) write_sparse_pak(d + "/own.x", c.sparse_member);
        if (c.backup) write_file(d + "/own.bak", *c.backup);
        if (c.update) write_file(d + "/update.pak", *c.update);
        if (c.update_is_backup) {
#ifdef _WIN32
            continue;  // symbolic links need a privilege on Windows
#endif
            fs::create_symlink("own.bak", d + "/update.pak");
        }
        if (c.marked_sibling) write_file(d + "/own.pak", marked(o, "\x89TWr"));
        if (c.sibling == 'd') fs::create_directory(d + "/own.pak");
#ifdef _WIN32
        if (c.sibling == 'l' || c.sibling == 'p') continue;  // no links without a privilege, no named pipes
#else
        if (c.sibling == 'l') fs::create_symlink("nowhere", d + "/own.pak");
        if (c.sibling == 'p') {
            ASSERT_EQ(mkfifo((d + "/own.pak").c_str(), 0600), 0);
        }
#endif
        const std::string expected = c.refusal.empty() ? regex_literal("decided: " + c.decided + "\n")
                                                       : fatal_mentioning(c.refusal);
        EXPECT_EXIT(
            {
                stdout_to_stderr();
                if (chdir(d.c_str()) != 0) std::_Exit(2);
                const auto plan = std::make_unique<run_plan>();
                make_plan(*plan, "own.x", "", false);
                std::string decided = start_name(plan->start);
                if (plan->start == start_point::finish_complete) {
                    decided += std::string(", backup ") + standing_name(plan->backup);
                } else if (plan->start != start_point::already_applied) {
                    decided += ", first byte " + std::to_string(plan->rewrite_from);
                }
                std::fprintf(stderr, "decided: %s\n", decided.c_str());
                std::fflush(stderr);
                std::_Exit(0);
            },
            ::testing::ExitedWithCode(c.refusal.empty() ? 0 : 1), expected);
    }
}

// Each stage's decision from what it has read, with no file: the next read,
// the start, or the refusal, in the order the plan reads.
TEST(PlanStages, EachStageDecidesFromWhatItHasRead) {
    const auto shown = [](const stage_verdict& v) -> std::string {
        switch (v.next) {
        case stage_next::look_for_update: return "look for update.pak";
        case stage_next::read_update: return "read update.pak";
        case stage_next::check_update: return "check update.pak";
        case stage_next::start: return start_name(v.start);
        case stage_next::refuse: break;
        }
        const char* why[] = {"none", "changed backup", "unknown update", "other update", "foreign backup",
                             "mark and length apart"};
        return std::string("refuse: ") + why[static_cast<int>(v.refusal)];
    };
    using p = rewrite_proof;
    struct resume_case {
        resume_facts facts;  // proof, looked for, present, read, checked, same
        const char* decided;
    };
    const resume_case resumes[] = {
        {{p::changed, false, false, false, false, false}, "refuse: changed backup"},
        {{p::unproven, false, false, false, false, false}, "read update.pak"},
        {{p::unproven, false, false, true, false, false}, "refuse: foreign backup"},
        {{p::unchanged, false, false, false, false, false}, "read update.pak"},
        {{p::unchanged, false, false, true, false, false}, "unmark, then apply"},
        {{p::placed, false, false, true, false, false}, "resume"},
        {{p::recorded, false, false, true, false, false}, "check update.pak"},
        {{p::recorded, false, false, true, true, true}, "resume"},
        {{p::recorded, false, false, true, true, false}, "refuse: other update"},
        {{p::rewritten_whole, false, false, false, false, false}, "look for update.pak"},
        {{p::rewritten_whole, true, false, false, false, false}, "refuse: unknown update"},
        {{p::rewritten_whole, true, true, false, false, false}, "read update.pak"},
        {{p::rewritten_whole, true, true, true, false, false}, "check update.pak"},
        {{p::rewritten_whole, true, true, true, true, true}, "resume"},
        {{p::rewritten_whole, true, true, true, true, false}, "refuse: unknown update"},
    };
    for (const auto& c : resumes) {
        SCOPED_TRACE(c.decided);
        EXPECT_EQ(shown(decide_resume(c.facts)), c.decided);
    }
    struct finish_case {
        finish_facts facts;  // fits, looked for, present, checked, applied
        const char* decided;
    };
    const finish_case finishes[] = {
        {{false, false, false, false, false}, "refuse: mark and length apart"},
        {{true, false, false, false, false}, "look for update.pak"},
        {{true, true, false, false, false}, "finish"},
        {{true, true, true, false, false}, "check update.pak"},
        {{true, true, true, true, true}, "finish"},
        {{true, true, true, true, false}, "finish, then apply"},
    };
    for (const auto& c : finishes) {
        SCOPED_TRACE(c.decided);
        EXPECT_EQ(shown(decide_finish(c.facts)), c.decided);
    }
}
