#include "tests/tools/ToolBus.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ToolDemoTest, EveryStepPassesAndTheTableSaysSo) {
    ToolProcess demo({"demo", "--servers", "2"});
    ASSERT_EQ(demo.Wait(), 0) << demo.Stdout() << demo.Stderr();
    const std::string out = demo.Stdout();
    EXPECT_TRUE(Has(out, "step              result  detail\n")) << out;
    for (const char* step :
         {"bus servers", "server on-line", "on-line check", "post", "send (8-bit)", "send (16-bit)",
          "BLOB 64.0 MiB", "streamed BLOB", "error ack", "unique id"}) {
        EXPECT_TRUE(Has(out, "\n" + std::string(step) +
                                 std::string(18 - std::string(step).size(), ' ') + "PASS  "))
            << step << " in:\n"
            << out;
    }
    EXPECT_TRUE(Has(out, "error acknowledgement 42 from demo-rx: refused on purpose")) << out;
    EXPECT_TRUE(Has(out, "\nall 10 steps passed in ")) << out;
    EXPECT_FALSE(Has(out, "FAIL")) << out;
}

} // namespace
