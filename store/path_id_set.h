#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// A set of 64-bit path hashes in one open-addressing table (linear probing,
// at most half full): the shell may ask about a million undescribed paths in
// one process, and each costs 8 to 16 bytes here instead of a heap node.
class path_id_set {
  public:
    bool contains(uint64_t id) const;
    void insert(uint64_t id);
    void erase(uint64_t id);
    size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }

  private:
    // 0 marks a free slot; the id 0 itself is kept apart.
    size_t slot_of(uint64_t id) const {
        return (id * 0x9E3779B97F4A7C15ull >> 20) & (slots_.size() - 1);
    }
    void grow();

    std::vector<uint64_t> slots_;
    size_t count_ = 0;
    bool has_zero_ = false;
};
