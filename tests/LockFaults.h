// Fails the test during which code touched lock-guarded data without the
// hold it needs: the accessors count each breach (LockFaultCount) and report
// it to the debugger, and this listener turns a new count into a failure.
#pragma once

// Toolkit
#include "lw/LAppLock.h"

#include <gtest/gtest.h>

namespace {

// Breaches the running test provokes on purpose.
LONG g_expectedLockFaults = 0;

// A test that breaches the lock on purpose says how often.
[[maybe_unused]] void ExpectLockFaults(LONG count)
{
    g_expectedLockFaults += count;
}

class TLockFaultListener : public ::testing::EmptyTestEventListener {
public:
    void OnTestStart(const ::testing::TestInfo&) override
    {
        FBefore = LockFaultCount();
        g_expectedLockFaults = 0;
    }
    void OnTestEnd(const ::testing::TestInfo&) override
    {
        LONG unexpected = LockFaultCount() - FBefore - g_expectedLockFaults;
        EXPECT_EQ(unexpected, 0) << "guarded data was touched without the application lock held "
                                    "(the debugger output names what)";
    }

private:
    LONG FBefore = 0;
};

// Registered once per test program that includes this header.
const bool g_lockFaultListener = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new TLockFaultListener);
    return true;
}();

} // namespace
