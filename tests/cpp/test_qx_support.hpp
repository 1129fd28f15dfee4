#pragma once
// Shared by the array library tests: every test must leave no array behind.
#include <qx/qx.hpp>

#include <gtest/gtest.h>

class QxTest : public ::testing::Test {
protected:
    void SetUp() override { live_ = qxLiveArrayCount(); }
    void TearDown() override { EXPECT_EQ(qxLiveArrayCount(), live_) << "arrays left alive"; }

private:
    std::size_t live_ = 0;
};

template <class P>
class QxParamTest : public ::testing::TestWithParam<P> {
protected:
    void SetUp() override { live_ = qxLiveArrayCount(); }
    void TearDown() override { EXPECT_EQ(qxLiveArrayCount(), live_) << "arrays left alive"; }

private:
    std::size_t live_ = 0;
};
