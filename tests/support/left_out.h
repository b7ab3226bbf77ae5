#pragma once

// A case this build cannot hold, left out as every suite leaves one out: said on standard output
// as "skip SUITE.NAME: not run here: REASON", which the table of what ran where counts and lists,
// then skipped. The one way a GoogleTest case is skipped.

#include <gtest/gtest.h>

#include <cstdio>

namespace tamber::test {

inline void say_left_out(const char* reason) {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::printf("skip %s.%s: not run here: %s\n", info->test_suite_name(), info->name(), reason);
    std::fflush(stdout);
}

}  // namespace tamber::test

#define TAMBER_LEAVE_OUT(reason)              \
    do {                                      \
        ::tamber::test::say_left_out(reason); \
        GTEST_SKIP() << (reason);             \
    } while (false)
