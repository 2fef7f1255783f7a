#pragma once
// Extracted records gathered by conversation, in the order of each conversation's first record.

#include <cstddef>
#include <functional>
#include <unordered_map>
#include <utility>
#include <vector>

namespace qor {

/// Records (TCP segments, UDP datagrams) gathered by their direction-free `key()`: one group per
/// conversation, groups in the order of their first record, each group's records in the order
/// they were added. A record's group is found by its `keyView()`, which `Hash` hashes as it
/// hashes the key and which compares equal to it. The stream reassemblers build their
/// conversations from it; a caller that extracts a capture window by window adds each window's
/// records as they come, in file order, and gets the groups one extraction of the whole capture
/// would give, without ever holding the capture's records in one list.
template <class Key, class Hash, class Record>
class ConversationGroups {
public:
    ConversationGroups() = default;
    /// The groups of `records`, added in order.
    explicit ConversationGroups(std::vector<Record>&& records) { add(std::move(records)); }

    /// Adds `record` to its conversation's group (a new last group for a key not seen before) and
    /// gives the group's position.
    std::size_t add(Record&& record) {
        // Looked up by the record's view of its key: the key itself is made once per conversation.
        auto it = positions_.find(record.keyView());
        if (it == positions_.end()) {
            it = positions_.emplace(record.key(), keys_.size()).first;
            keys_.push_back(it->first);
            records_.emplace_back();
        }
        records_[it->second].push_back(std::move(record));
        return it->second;
    }
    /// Adds every record of `records`, in order; the vector is left empty.
    void add(std::vector<Record>&& records) {
        for (auto& record : records) add(std::move(record));
        std::vector<Record>().swap(records);
    }

    [[nodiscard]] std::size_t size() const noexcept { return keys_.size(); }
    [[nodiscard]] const std::vector<Key>& keys() const noexcept { return keys_; }
    [[nodiscard]] const std::vector<Record>& records(std::size_t group) const { return records_[group]; }
    /// The records of group `group`, taken out of it (the group's key stays).
    [[nodiscard]] std::vector<Record> take(std::size_t group) { return std::exchange(records_[group], {}); }

private:
    std::vector<Key> keys_;
    std::vector<std::vector<Record>> records_;
    std::unordered_map<Key, std::size_t, Hash, std::equal_to<>> positions_;
};

}  // namespace qor
