#include "upload/plan.h"

#include <algorithm>

void plan_make(walk_result_t &walk, state_t &state, plan_t &plan)
{
    std::map<std::string, record_entry_t> kept;
    for (walk_file_t &file : walk.files) {
        auto recorded = state.record.files.find(file.path);
        if (record_has(state.record, file.path, file.size, file.mtime)) {
            plan.already++;
            kept.emplace_hint(kept.end(), std::move(file.path), recorded->second);
        } else {
            plan.bytes += file.size;
            plan.todo.push_back(std::move(file));
        }
    }
    // A large card's paths are held once, not twice.
    walk.files.clear();
    walk.files.shrink_to_fit();
    // Many files gone from the card (a card formatted, a folder cleared):
    // the record is written anew without them.
    if (state.record.files.size() - kept.size() > kept.size())
        state.compact = true;
    state.record.files.swap(kept);
    // A temporary file is continued only by the same version of its file.
    for (const auto &[path, entry] : state.unfinished.files) {
        auto same = std::find_if(plan.todo.begin(), plan.todo.end(),
                                 [&path = path](const walk_file_t &f) { return f.path == path; });
        if (same == plan.todo.end() || same->size != entry.size || same->mtime != entry.mtime)
            plan.stale.push_back({path, entry.size, entry.mtime});
    }
}
