// Fails the test during which code touched lock-guarded data without the
// hold it needs: the accessors count each breach (LockFaultCount) and report
// it to the debugger, and this listener turns a new count into a failure.
#pragma once

// Toolkit
#include "lw/LAppLock.h"

#include <gtest/gtest.h>

namespace {

class TLockFaultListener : public ::testing::EmptyTestEventListener {
public:
    void OnTestStart(const ::testing::TestInfo&) override { FBefore = LockFaultCount(); }
    void OnTestEnd(const ::testing::TestInfo&) override
    {
        LONG now = LockFaultCount();
        EXPECT_EQ(now, FBefore) << "guarded data was touched without the application lock held "
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
