#pragma once
// A map from a 64-bit uid to a value, kept in flat arrays: the
// entries in insertion order and an open-addressing table of their
// positions. Clearing keeps both allocations, so a map refilled after every
// edit allocates nothing once it has reached its size. Offers the part of
// the standard map interface the editor uses (find, at, count, operator[],
// iteration in insertion order).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <utility>
#include <vector>

namespace vt6::ui::zemedit::logic {

template <typename T>
class UidMap {
public:
    using value_type = std::pair<uint64_t, T>;
    using iterator = typename std::vector<value_type>::iterator;
    using const_iterator = typename std::vector<value_type>::const_iterator;

    size_t size() const noexcept { return entries_.size(); }
    bool empty() const noexcept { return entries_.empty(); }
    iterator begin() noexcept { return entries_.begin(); }
    iterator end() noexcept { return entries_.end(); }
    const_iterator begin() const noexcept { return entries_.begin(); }
    const_iterator end() const noexcept { return entries_.end(); }

    void clear() noexcept {
        entries_.clear();
        std::fill(slots_.begin(), slots_.end(), kEmpty);
    }

    // Room for `count` entries without growing the table.
    void reserve(size_t count) {
        entries_.reserve(count);
        if (count * 2 > slots_.size()) rehash(count * 2);
    }

    iterator find(uint64_t uid) noexcept {
        const size_t slot = lookup(uid);
        return slot == kNone ? entries_.end() : entries_.begin() + static_cast<std::ptrdiff_t>(slots_[slot]);
    }
    const_iterator find(uint64_t uid) const noexcept {
        const size_t slot = lookup(uid);
        return slot == kNone ? entries_.end() : entries_.begin() + static_cast<std::ptrdiff_t>(slots_[slot]);
    }
    size_t count(uint64_t uid) const noexcept { return lookup(uid) == kNone ? 0 : 1; }
    bool contains(uint64_t uid) const noexcept { return count(uid) != 0; }

    T& at(uint64_t uid) {
        const auto it = find(uid);
        if (it == end()) throw std::out_of_range("UidMap::at");
        return it->second;
    }
    const T& at(uint64_t uid) const {
        const auto it = find(uid);
        if (it == end()) throw std::out_of_range("UidMap::at");
        return it->second;
    }

    T& operator[](uint64_t uid) {
        if ((entries_.size() + 1) * 2 > slots_.size()) rehash((entries_.size() + 1) * 2);
        size_t slot = home(uid);
        while (slots_[slot] != kEmpty) {
            if (entries_[slots_[slot]].first == uid) return entries_[slots_[slot]].second;
            slot = (slot + 1) & (slots_.size() - 1);
        }
        slots_[slot] = static_cast<uint32_t>(entries_.size());
        entries_.emplace_back(uid, T{});
        return entries_.back().second;
    }

    // Adds an entry for a uid the caller knows the map does not hold, after
    // reserve() made room for it: no key is compared on the way.
    void appendNew(uint64_t uid, const T& value) {
        size_t slot = home(uid);
        while (slots_[slot] != kEmpty) slot = (slot + 1) & (slots_.size() - 1);
        slots_[slot] = static_cast<uint32_t>(entries_.size());
        entries_.emplace_back(uid, value);
    }

    // Becomes a map of the same uids as `other`, in the same order, each with
    // a default value; entry k is other's entry k. Copies the slot table
    // instead of hashing every uid again.
    template <typename U>
    void assignKeysOf(const UidMap<U>& other) {
        entries_.resize(other.entries_.size());
        for (size_t k = 0; k < entries_.size(); ++k) entries_[k] = value_type(other.entries_[k].first, T{});
        slots_ = other.slots_;
    }

private:
    template <typename U>
    friend class UidMap;

    static constexpr uint32_t kEmpty = 0xFFFFFFFFu;
    static constexpr size_t kNone = ~size_t{0};

    std::vector<value_type> entries_;
    std::vector<uint32_t> slots_;  // entry positions; a power of two in size

    size_t home(uint64_t uid) const noexcept {
        // Fibonacci hashing spreads consecutive uids over the table.
        const uint64_t mixed = uid * 0x9E3779B97F4A7C15ull;
        return static_cast<size_t>(mixed >> 32) & (slots_.size() - 1);
    }

    size_t lookup(uint64_t uid) const noexcept {
        if (slots_.empty()) return kNone;
        for (size_t slot = home(uid);; slot = (slot + 1) & (slots_.size() - 1)) {
            if (slots_[slot] == kEmpty) return kNone;
            if (entries_[slots_[slot]].first == uid) return slot;
        }
    }

    void rehash(size_t wanted) {
        size_t capacity = 16;
        while (capacity < wanted) capacity *= 2;
        slots_.assign(capacity, kEmpty);
        for (size_t k = 0; k < entries_.size(); ++k) {
            size_t slot = home(entries_[k].first);
            while (slots_[slot] != kEmpty) slot = (slot + 1) & (slots_.size() - 1);
            slots_[slot] = static_cast<uint32_t>(k);
        }
    }
};

} // namespace vt6::ui::zemedit::logic
