// Template variables in kept slots; see variable_map.h.
#include "core/variable_map.h"

VariableMap::VariableMap(std::initializer_list<std::pair<std::string, std::string>> entries) {
    for (const auto& entry : entries)
        emplace(entry.first, entry.second);
}

size_t VariableMap::position_of(std::string_view name, bool* found) const {
    size_t low = 0, high = order_.size();
    while (low < high) {
        size_t middle = low + (high - low) / 2;
        int compared = std::string_view(slots_[order_[middle]].first).compare(name);
        if (compared == 0) {
            *found = true;
            return middle;
        }
        if (compared < 0)
            low = middle + 1;
        else
            high = middle;
    }
    *found = false;
    return low;
}

VariableMap::Entry& VariableMap::add_at(size_t position, std::string_view name,
                                        std::string_view value) {
    uint32_t slot;
    if (!free_.empty()) {
        slot = free_.back();
        free_.pop_back();
    } else {
        if (fresh_ == slots_.size())
            slots_.emplace_back();
        slot = static_cast<uint32_t>(fresh_++);
    }
    Entry& entry = slots_[slot];
    entry.first.assign(name.data(), name.size());
    entry.second.assign(value.data(), value.size());
    order_.insert(order_.begin() + static_cast<ptrdiff_t>(position), slot);
    return entry;
}

VariableMap::iterator VariableMap::find(std::string_view name) {
    bool found;
    size_t position = position_of(name, &found);
    return found ? iterator(this, position) : end();
}

VariableMap::const_iterator VariableMap::find(std::string_view name) const {
    bool found;
    size_t position = position_of(name, &found);
    return found ? const_iterator(this, position) : end();
}

std::string& VariableMap::operator[](std::string_view name) {
    bool found;
    size_t position = position_of(name, &found);
    if (found)
        return slots_[order_[position]].second;
    return add_at(position, name, std::string_view()).second;
}

void VariableMap::Set(std::string_view name, std::string_view value) {
    bool found;
    size_t position = position_of(name, &found);
    if (found)
        slots_[order_[position]].second.assign(value.data(), value.size());
    else
        add_at(position, name, value);
}

std::pair<VariableMap::iterator, bool> VariableMap::emplace(std::string_view name,
                                                            std::string_view value) {
    bool found;
    size_t position = position_of(name, &found);
    if (!found)
        add_at(position, name, value);
    return {iterator(this, position), !found};
}

VariableMap::iterator VariableMap::emplace_hint(const_iterator hint, std::string_view name,
                                                std::string_view value) {
    // Names arriving in order go at the end without a search.
    if (hint == end() &&
        (order_.empty() || std::string_view(slots_[order_.back()].first).compare(name) < 0)) {
        add_at(order_.size(), name, value);
        return iterator(this, order_.size() - 1);
    }
    return emplace(name, value).first;
}

size_t VariableMap::erase(std::string_view name) {
    bool found;
    size_t position = position_of(name, &found);
    if (!found)
        return 0;
    free_.push_back(order_[position]);
    order_.erase(order_.begin() + static_cast<ptrdiff_t>(position));
    return 1;
}

void VariableMap::Recycle() {
    order_.clear();
    free_.clear();
    fresh_ = 0;
    if (slots_.size() > SPARE_LIMIT)
        slots_.resize(SPARE_LIMIT);
}

void VariableMap::ReleaseSpare() {
    if (order_.empty()) {
        std::deque<Entry>().swap(slots_);
        std::vector<uint32_t>().swap(order_);
        std::vector<uint32_t>().swap(free_);
        fresh_ = 0;
        return;
    }
    // Slots in use stay where they are: only those past the last one go.
    slots_.resize(fresh_);
}
