// VariableMap: template variables (name -> value), read in name order, as
// the @name@ substitutions, the filters, the pages and the external programs
// see them. Each connection has one; pages and scanners build small ones.
//
// Every request sets a few dozen variables (its header lines, address,
// port, time...) and the next request on the connection sets nearly the
// same ones again. So the entries live in slots that keep the memory of
// their name and value: Recycle empties the map in one step and the next
// request's Set writes over the old texts, mostly without allocating. The
// name order is a separate index of slot numbers, so putting a new name in
// place moves a few integers, not strings or tree nodes.
//
// Contract - what a std::map<std::string, std::string> would do:
// - Iteration runs in name order (byte order) over entries with `first`
//   (the name) and `second` (the value); `find`, `count`, `operator[]`
//   (adds an empty value), `emplace` and `emplace_hint` (keep an existing
//   value), `erase` by name, `size`, `empty`, `clear`. Construction from a
//   list of pairs keeps the first of equal names.
// - References to values stay valid while other names are added or erased
//   (slots never move); iterators, as with any sorted vector, are good only
//   until the next change.
// - A name must not be changed through an iterator.
// - Recycle empties the map and keeps at most SPARE_LIMIT slots for the
//   next request; ReleaseSpare frees every slot not in use (a connection
//   that goes idle keeps nothing).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <deque>
#include <initializer_list>
#include <iterator>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

class VariableMap {
public:
    // Slots kept at most between two requests; more are freed.
    static constexpr size_t SPARE_LIMIT = 128;

    struct Entry {
        std::string first;  // the name
        std::string second; // the value
    };

    template <bool Const>
    class Iterator {
    public:
        using Map = std::conditional_t<Const, const VariableMap, VariableMap>;
        using iterator_category = std::forward_iterator_tag;
        using value_type = Entry;
        using difference_type = ptrdiff_t;
        using reference = std::conditional_t<Const, const Entry&, Entry&>;
        using pointer = std::conditional_t<Const, const Entry*, Entry*>;

        Iterator() = default;
        Iterator(Map* map, size_t position) : map_(map), position_(position) {}
        // A mutable iterator converts to a read-only one.
        template <bool Other, typename = std::enable_if_t<Const && !Other>>
        Iterator(const Iterator<Other>& other) : map_(other.map_), position_(other.position_) {}

        reference operator*() const { return map_->slots_[map_->order_[position_]]; }
        pointer operator->() const { return &**this; }
        Iterator& operator++() {
            ++position_;
            return *this;
        }
        Iterator operator++(int) {
            Iterator before = *this;
            ++position_;
            return before;
        }
        friend bool operator==(const Iterator& a, const Iterator& b) {
            return a.position_ == b.position_;
        }
        friend bool operator!=(const Iterator& a, const Iterator& b) { return !(a == b); }

    private:
        template <bool>
        friend class Iterator;
        friend class VariableMap;
        Map* map_ = nullptr;
        size_t position_ = 0; // in name order
    };
    using iterator = Iterator<false>;
    using const_iterator = Iterator<true>;
    using value_type = Entry;

    VariableMap() = default;
    VariableMap(std::initializer_list<std::pair<std::string, std::string>> entries);

    iterator begin() { return iterator(this, 0); }
    iterator end() { return iterator(this, order_.size()); }
    const_iterator begin() const { return const_iterator(this, 0); }
    const_iterator end() const { return const_iterator(this, order_.size()); }
    size_t size() const { return order_.size(); }
    bool empty() const { return order_.empty(); }

    iterator find(std::string_view name);
    const_iterator find(std::string_view name) const;
    size_t count(std::string_view name) const { return find(name) != end() ? 1 : 0; }

    // The value of `name`, added empty when the name is new.
    std::string& operator[](std::string_view name);
    // variables[name] = value, written over a kept slot's texts when new.
    void Set(std::string_view name, std::string_view value);
    // Adds the name with this value unless it is there; either way returns
    // where it is and whether it was added.
    std::pair<iterator, bool> emplace(std::string_view name, std::string_view value);
    // emplace; a hint at end() makes adding names in order cheap.
    iterator emplace_hint(const_iterator hint, std::string_view name, std::string_view value);

    // Removes the name; returns how many entries went (0 or 1).
    size_t erase(std::string_view name);

    // Empties the map; its slots wait for the next request (at most
    // SPARE_LIMIT of them).
    void Recycle();
    void clear() { Recycle(); }
    // Frees every slot not in use.
    void ReleaseSpare();

private:
    // Position in name order where `name` is or would go; *found tells which.
    size_t position_of(std::string_view name, bool* found) const;
    // Puts a new entry at `position` of the name order; returns its slot.
    Entry& add_at(size_t position, std::string_view name, std::string_view value);

    std::deque<Entry> slots_;     // entries and spare slots; never move
    std::vector<uint32_t> order_; // slots in use, in name order
    std::vector<uint32_t> free_;  // slots freed by erase, reused first
    size_t fresh_ = 0;            // slots_[fresh_..] have not served this request
};
