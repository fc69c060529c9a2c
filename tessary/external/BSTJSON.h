#pragma once

#include "tessary/Export.h"
#include "tessary/external/DString.h"
#include "tessary/external/WString.h"

#include <nlohmann/json_fwd.hpp>

#include <memory>
#include <utility>

namespace ORVEX::Utility {

// A read-only view of a JSON node. An empty tree answers empty to everything, so callers walk
// missing members without checks.
class TESSARY_EXPORT BSTTree {
public:
    // The key under which XML-born trees keep a node's attributes; walkers skip it.
    static constexpr const char* XMLATTR = "<xmlattr>";

    class TESSARY_EXPORT Iterator {
    public:
        explicit Iterator(std::shared_ptr<const nlohmann::json> node);
        // The next (key, subtree) pair, then an empty key with an empty tree for ever after.
        std::pair<DString, BSTTree> Next();
        // No child is left: an empty pair from Next is then the end, not an empty child.
        bool AtEnd() const;

    private:
        std::shared_ptr<const nlohmann::json> m_Node;
        size_t m_Index = 0;
    };

    BSTTree() = default;
    explicit BSTTree(nlohmann::json value);

    bool IsEmpty() const;
    BSTTree Into(const char* key) const;
    DString Get(const char* key) const;
    template <typename T> T Get(const char* key) const;
    // The node's own value as text (numbers as their decimal text).
    DString Value() const;
    Iterator GetIterator() const;

private:
    explicit BSTTree(std::shared_ptr<const nlohmann::json> node) : m_Node(std::move(node)) {}

    // Points into the loaded document and keeps all of it alive (an aliasing pointer).
    std::shared_ptr<const nlohmann::json> m_Node;
};

template <> TESSARY_EXPORT DString BSTTree::Get<DString>(const char* key) const;

class TESSARY_EXPORT BSTJSON {
public:
    // A file that is missing or not JSON gives an empty tree; nothing is thrown.
    static BSTTree LoadFile(const WString& path);
    static BSTTree LoadFile(const char* path);
};

} // namespace ORVEX::Utility
