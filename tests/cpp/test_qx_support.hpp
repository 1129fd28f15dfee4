#pragma once
// Shared by the array library tests: every test must leave no array behind.
#include <qx/block.hpp>
#include <qx/qx.hpp>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

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

// A reshape to `to`: whether it is allowed, and the dimensions it gives.
struct ReshapeCase {
    std::vector<qxSize> to;
    bool ok;
    std::vector<qxSize> result;
};

// Element blocks that count themselves, from an allocator that counts what
// it hands out and can be told to fail; CountingAllocatorTest installs one
// for each test and checks that no block outlives it.
class OwnedBlock : public qx::Block {
public:
    OwnedBlock(void* data, std::size_t size, std::atomic<int>* live) : Block(data, size), live_(live) { ++*live_; }
    ~OwnedBlock() override {
        std::free(data_);
        --*live_;
    }

private:
    std::atomic<int>* live_;
};

// Counts what it hands out; fails on request, or hands out short blocks.
class CountingAllocator : public qx::BlockAllocator {
public:
    std::shared_ptr<qx::Block> allocate(std::size_t bytes) override {
        ++calls;
        if (fail) return nullptr;
        if (throwing) throw std::bad_alloc();
        const std::size_t size = shortBlocks ? bytes - 1 : bytes;
        void* p = std::calloc(1, size == 0 ? 1 : size);
        if (!p) return nullptr;
        bytesServed += bytes;
        return std::make_shared<OwnedBlock>(p, size, &live);
    }
    std::atomic<int> calls{0};
    std::atomic<int> live{0};
    std::atomic<std::size_t> bytesServed{0};
    std::atomic<bool> fail{false};
    std::atomic<bool> throwing{false};
    std::atomic<bool> shortBlocks{false};
};

class CountingAllocatorTest : public QxTest {
protected:
    void SetUp() override {
        QxTest::SetUp();
        previous_ = qx::blockAllocator();
        qx::setBlockAllocator(counting_);
    }
    void TearDown() override {
        qx::setBlockAllocator(previous_);
        EXPECT_EQ(counting_->live.load(), 0) << "blocks left alive";
        QxTest::TearDown();
    }
    std::shared_ptr<CountingAllocator> counting_ = std::make_shared<CountingAllocator>();
    std::shared_ptr<qx::BlockAllocator> previous_;
};
