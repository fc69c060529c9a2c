#include <gtest/gtest.h>

#include <csignal>

int main(int argc, char** argv) {
    // Tests close sockets under each other on purpose; a write to one must not end the run.
    std::signal(SIGPIPE, SIG_IGN);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
