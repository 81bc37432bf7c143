// VariableMap: the template variables of a connection (name -> value), an
// ordinary std::map whose nodes outlive the request that filled them.
//
// Every request sets a few dozen variables (its header lines, address,
// port, time...), which with a plain map costs an allocation per node and
// per long name or value, and as many frees when the request ends. Recycle
// empties the map but keeps the nodes, with the memory of their strings, for
// the next request's Set; ReleaseSpare frees them (a connection that goes
// idle keeps nothing). Reading, erasing and assigning through the map work
// as on any std::map.
#pragma once

#include <stddef.h>

#include <map>
#include <string>
#include <string_view>
#include <vector>

class VariableMap : public std::map<std::string, std::string> {
public:
    // Nodes kept at most between two requests; more are freed.
    static constexpr size_t SPARE_LIMIT = 128;

    // variables[name] = value, through a kept node when the name is new.
    void Set(const std::string& name, std::string_view value) {
        auto position = lower_bound(name);
        if (position != end() && position->first == name) {
            position->second.assign(value.data(), value.size());
            return;
        }
        if (spare_.empty()) {
            emplace_hint(position, name, std::string(value));
            return;
        }
        node_type node = std::move(spare_.back());
        spare_.pop_back();
        node.key().assign(name);
        node.mapped().assign(value.data(), value.size());
        insert(position, std::move(node));
    }

    // Empties the map; its nodes wait for the next Set.
    void Recycle() {
        while (!empty()) {
            if (spare_.size() >= SPARE_LIMIT) {
                clear();
                break;
            }
            spare_.push_back(extract(begin()));
        }
    }

    void ReleaseSpare() {
        spare_.clear();
        spare_.shrink_to_fit();
    }

private:
    std::vector<node_type> spare_;
};
