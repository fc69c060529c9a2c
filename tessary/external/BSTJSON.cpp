#include "tessary/external/BSTJSON.h"

#include <nlohmann/json.hpp>

#include <fstream>

namespace ORVEX::Utility {

namespace {

DString ScalarText(const nlohmann::json& node) {
    if (node.is_string()) {
        return DString(node.get<std::string>());
    }
    if (node.is_number_integer()) {
        return DString(std::to_string(node.get<long long>()));
    }
    if (node.is_number() || node.is_boolean()) {
        return DString(node.dump());
    }
    return DString();
}

} // namespace

BSTTree::BSTTree(nlohmann::json value)
    : m_Node(std::make_shared<const nlohmann::json>(std::move(value))) {}

bool BSTTree::IsEmpty() const {
    return !m_Node || m_Node->is_null() || (m_Node->is_structured() && m_Node->empty());
}

BSTTree BSTTree::Into(const char* key) const {
    if (!m_Node || !m_Node->is_object() || key == nullptr) {
        return BSTTree();
    }
    auto it = m_Node->find(key);
    if (it == m_Node->end()) {
        return BSTTree();
    }
    return BSTTree(std::shared_ptr<const nlohmann::json>(m_Node, &*it));
}

DString BSTTree::Get(const char* key) const { return Into(key).Value(); }

template <> DString BSTTree::Get<DString>(const char* key) const { return Get(key); }

DString BSTTree::Value() const { return m_Node ? ScalarText(*m_Node) : DString(); }

BSTTree::Iterator BSTTree::GetIterator() const { return Iterator(m_Node); }

BSTTree::Iterator::Iterator(std::shared_ptr<const nlohmann::json> node) : m_Node(std::move(node)) {}

bool BSTTree::Iterator::AtEnd() const {
    return !m_Node || !m_Node->is_structured() || m_Index >= m_Node->size();
}

std::pair<DString, BSTTree> BSTTree::Iterator::Next() {
    if (AtEnd()) {
        return {DString(), BSTTree()};
    }
    if (m_Node->is_array()) {
        const nlohmann::json* child = &(*m_Node)[m_Index];
        ++m_Index;
        return {DString(), BSTTree(std::shared_ptr<const nlohmann::json>(m_Node, child))};
    }
    auto it = m_Node->begin();
    std::advance(it, static_cast<std::ptrdiff_t>(m_Index));
    ++m_Index;
    return {DString(it.key()), BSTTree(std::shared_ptr<const nlohmann::json>(m_Node, &*it))};
}

BSTTree BSTJSON::LoadFile(const WString& path) { return LoadFile(path.ToDString().c_str()); }

BSTTree BSTJSON::LoadFile(const char* path) {
    if (path == nullptr) {
        return BSTTree();
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return BSTTree();
    }
    nlohmann::json document = nlohmann::json::parse(in, nullptr, false);
    if (document.is_discarded()) {
        return BSTTree();
    }
    return BSTTree(std::move(document));
}

} // namespace ORVEX::Utility
