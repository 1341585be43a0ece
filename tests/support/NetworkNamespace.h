#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sched.h>

// Moves the calling thread (and every process it starts from now on) into a network
// namespace of its own with only loopback up, so a program under test can bind the
// fixed ports 2055 and 2056 without meeting any other process on this machine. Call it
// from the test's main thread; gtest_discover_tests runs each test in a process of its
// own, so the namespace ends with the test. Needs root, as the test command runs.
inline ::testing::AssertionResult EnterOwnNetworkNamespace()
{
    if (::unshare(CLONE_NEWNET) != 0)
        return ::testing::AssertionFailure() << "unshare(CLONE_NEWNET): " << std::strerror(errno)
                                             << " (the program tests need root for a network namespace)";
    if (std::system("ip link set lo up") != 0)
        return ::testing::AssertionFailure() << "ip link set lo up failed (package iproute2)";
    return ::testing::AssertionSuccess();
}
