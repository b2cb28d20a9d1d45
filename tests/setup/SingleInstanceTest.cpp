#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "setup/SingleInstance.h"

TEST(SetupSingleInstance, TheNameIsHeldUntilItsLastHolderGoes) {
    const std::wstring name = L"Global\\nx-single-instance-test-" + std::to_wstring(GetCurrentProcessId());
    auto first = std::make_unique<TSingleInstance>(name.c_str());
    EXPECT_FALSE(first->AnotherIsRunning());
    auto second = std::make_unique<TSingleInstance>(name.c_str());
    EXPECT_TRUE(second->AnotherIsRunning());
    first.reset();
    // The second copy still holds the name.
    EXPECT_TRUE(TSingleInstance(name.c_str()).AnotherIsRunning());
    second.reset();
    EXPECT_FALSE(TSingleInstance(name.c_str()).AnotherIsRunning());
}
