// A build for a cable that does not exist.
#include "calc/calc.h"
#include "link/link.h"
#include "tests/support/child.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

TEST(Setup, UnknownCableAllocatesThenFailsWithoutTouchingAPort) {
    peer::reset();
    const auto result = testing_support::run_child([] {
        std::atexit(
            [] { std::printf("buffer %s\n", buffer != nullptr ? "allocated" : "missing"); });
        init_link();
        return 0;
    });
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, "Invalid configuration, please recompile!\nbuffer allocated\n");
    EXPECT_TRUE(peer::grants().empty());
    EXPECT_TRUE(peer::writes().empty());
}
