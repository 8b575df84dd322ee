#include "store/index_records.h"

#include "store/path_text.h"

std::vector<checked_record> checked_records(const CInfoHolder &holder, bool open_shares) {
    std::vector<CInfoHolder::record_ptr> records = holder.records();
    std::vector<checked_record> checked;
    checked.reserve(records.size());
    for (CInfoHolder::record_ptr &record : records) {
        checked_record entry{std::move(record), std::wstring(), record_use::usable, false};
        if (!wide_path_of(entry.record->path, entry.path) || entry.path.empty()) {
            entry.path.clear();
            entry.use = record_use::no_wide_form;
        } else if (!is_canonical_full_path(entry.path.c_str())) {
            entry.use = record_use::not_full_path;
        } else if (!open_shares && entry.path.compare(0, 2, L"\\\\") == 0) {
            entry.use = record_use::on_share;
        }
        entry.key_matches = !entry.path.empty() && path_hash(entry.path.c_str()) == entry.record->key;
        checked.push_back(std::move(entry));
    }
    return checked;
}

const char *record_use_text(record_use use) {
    switch (use) {
    case record_use::usable:
        return "usable";
    case record_use::not_full_path:
        return "not a full path: skipped";
    case record_use::no_wide_form:
        return "not a path of this code page: skipped";
    case record_use::on_share:
        return "on a share: not opened";
    }
    return "";
}
