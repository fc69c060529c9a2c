#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace busd {

// Hands out source ids derived from the one asked for: the asked id itself while it is free,
// else the asked id (cut to fit) with "-2", "-3", ... appended. An id is never handed out
// twice in the life of the process and never names a receiver registered at the time.
class UniqueIds {
public:
    static constexpr size_t MaxLength = 16;

    // registered answers whether a receiver is registered under an id on any bus server.
    std::string Take(const std::string& asked,
                     const std::function<bool(const std::string&)>& registered);

private:
    std::unordered_set<std::string> m_Given;
    // Next suffix to try per asked id, so a popular id does not rescan its whole history.
    std::unordered_map<std::string, uint64_t> m_Next;
};

} // namespace busd
