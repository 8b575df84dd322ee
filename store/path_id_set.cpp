#include "store/path_id_set.h"

bool path_id_set::contains(uint64_t id) const {
    if (id == 0)
        return has_zero_;
    if (slots_.empty())
        return false;
    for (size_t i = slot_of(id);; i = (i + 1) & (slots_.size() - 1)) {
        if (slots_[i] == id)
            return true;
        if (slots_[i] == 0)
            return false;
    }
}

void path_id_set::insert(uint64_t id) {
    if (id == 0) {
        count_ += !has_zero_;
        has_zero_ = true;
        return;
    }
    if ((count_ + 1) * 2 > slots_.size())
        grow();
    size_t i = slot_of(id);
    for (; slots_[i] != 0; i = (i + 1) & (slots_.size() - 1))
        if (slots_[i] == id)
            return;
    slots_[i] = id;
    ++count_;
}

void path_id_set::erase(uint64_t id) {
    if (id == 0) {
        count_ -= has_zero_;
        has_zero_ = false;
        return;
    }
    if (slots_.empty())
        return;
    size_t mask = slots_.size() - 1;
    size_t i = slot_of(id);
    for (; slots_[i] != id; i = (i + 1) & mask)
        if (slots_[i] == 0)
            return;
    // Shift later members of the probe run back, so no search stops early
    // at the freed slot.
    for (size_t next = (i + 1) & mask; slots_[next] != 0; next = (next + 1) & mask) {
        size_t home = slot_of(slots_[next]);
        bool movable = i <= next ? (home <= i || home > next) : (home <= i && home > next);
        if (movable) {
            slots_[i] = slots_[next];
            i = next;
        }
    }
    slots_[i] = 0;
    --count_;
}

void path_id_set::grow() {
    std::vector<uint64_t> old;
    old.swap(slots_);
    slots_.assign(old.empty() ? 64 : old.size() * 2, 0);
    count_ = has_zero_;
    for (uint64_t id : old)
        if (id)
            insert(id);
}
