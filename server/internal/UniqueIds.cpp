#include "server/internal/UniqueIds.h"

namespace busd {

std::string UniqueIds::Take(const std::string& asked,
                            const std::function<bool(const std::string&)>& registered) {
    const std::string base = asked.empty() ? std::string("id") : asked.substr(0, MaxLength);
    auto free = [&](const std::string& id) { return !m_Given.contains(id) && !registered(id); };
    std::string id = base;
    if (!free(id)) {
        uint64_t& next = m_Next.try_emplace(base, 2).first->second;
        // Ends: the given and registered sets are finite and the suffix only grows.
        do {
            // Appended rather than "-" + number: g++ 12 at -O3 reads that operator+ as an
            // overlapping copy (-Wrestrict) and the release build stops.
            std::string suffix(1, '-');
            suffix += std::to_string(next++);
            id = base.substr(0, MaxLength - suffix.size()) + suffix;
        } while (!free(id));
    }
    m_Given.insert(id);
    return id;
}

} // namespace busd
