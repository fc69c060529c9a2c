#include "server/internal/UniqueIds.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

using busd::UniqueIds;

TEST(UniqueIdsTest, NeverTwiceNeverRegisteredAtMostSixteen) {
    UniqueIds ids;
    const std::set<std::string> registered = {"orders", "orders-3", "abcdefghijklmn-2"};
    auto isRegistered = [&](const std::string& id) { return registered.contains(id); };
    std::set<std::string> seen;
    for (const std::string asked : {"orders", "orders", "orders", "abcdefghijklmnopqrst",
                                    "abcdefghijklmnop", "abcdefghijklmnop", "", "", "free"}) {
        const std::string id = ids.Take(asked, isRegistered);
        EXPECT_LE(id.size(), UniqueIds::MaxLength) << id;
        EXPECT_FALSE(registered.contains(id)) << id;
        EXPECT_TRUE(seen.insert(id).second) << id << " handed out twice";
    }
    EXPECT_TRUE(seen.contains("free"));
    EXPECT_TRUE(seen.contains("orders-2"));
    EXPECT_TRUE(seen.contains("orders-4"));
    EXPECT_TRUE(seen.contains("abcdefghijklmnop"));
    EXPECT_TRUE(seen.contains("abcdefghijklmn-3"));
}
