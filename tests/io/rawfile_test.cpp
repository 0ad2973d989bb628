#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <utility>

#include "io/rawfile.h"
#include "sim/emulated_disk.h"

using namespace corvane;
using io::IoFeatures;

namespace {

// Every mask converts to each of its subsets and to nothing else.
template <unsigned N, unsigned M>
constexpr bool convertsAsSubset() {
    constexpr bool subset = (M & ~N) == 0;
    return std::is_convertible_v<IoFeatures<N>*, IoFeatures<M>*> == subset;
}

template <unsigned N, unsigned... Ms>
constexpr bool allSubsets(std::integer_sequence<unsigned, Ms...>) {
    return (convertsAsSubset<N, Ms>() && ...);
}

template <unsigned... Ns>
constexpr bool allMasks(std::integer_sequence<unsigned, Ns...>) {
    return (allSubsets<Ns>(std::make_integer_sequence<unsigned, 32>()) && ...);
}

static_assert(allMasks(std::make_integer_sequence<unsigned, 32>()));
static_assert(std::is_abstract_v<IoFeatures<31>>);

class RawFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        disk = std::make_shared<sim::EmulatedDisk>(512, 16);
        disk->fillWithPattern(7);
        platform->addPath("/dev/emulated", disk);
        int err = 0;
        handle = platform->openPath("/dev/emulated", &err).release();
        ASSERT_NE(nullptr, handle);
        ASSERT_EQ(0, posix_memalign(&buffer, 4096, 8192));
    }
    void TearDown() override {
        io::closeDrive(handle);
        std::free(buffer);
    }
    uint8_t* bytes() { return static_cast<uint8_t*>(buffer); }

    std::shared_ptr<sim::EmulatedPlatform> platform = std::make_shared<sim::EmulatedPlatform>();
    std::shared_ptr<sim::EmulatedDisk> disk;
    io::DriveHandle handle = nullptr;
    void* buffer = nullptr;
};

TEST_F(RawFileTest, ReadsAndWritesAtTheSeekPosition) {
    auto file = io::rawfile::wrapHandle(handle, false);
    ASSERT_TRUE(file);
    ASSERT_EQ(io::RawOk, file->seek(3 * 512, 0));
    uint32_t got = 0;
    ASSERT_EQ(io::RawOk, file->read(buffer, 512, &got));
    EXPECT_EQ(512u, got);
    EXPECT_EQ(disk->patternByte(3 * 512 + 17), bytes()[17]);
    uint64_t pos = 0;
    ASSERT_EQ(io::RawOk, file->tell(&pos));
    EXPECT_EQ(4u * 512u, pos);

    std::memset(buffer, 0xAB, 512);
    ASSERT_EQ(io::RawOk, file->seek(-512, 1));
    ASSERT_EQ(io::RawOk, file->write(buffer, 512, &got));
    uint8_t block[512];
    disk->peek(3, block);
    EXPECT_EQ(0xAB, block[0]);
    EXPECT_EQ(0xAB, block[511]);

    ASSERT_EQ(io::RawOk, file->seek(-512, 2));
    ASSERT_EQ(io::RawOk, file->tell(&pos));
    EXPECT_EQ(15u * 512u, pos);
    EXPECT_EQ(io::RawSystemError, file->seek(-1, 0)) << "before the start";
    uint64_t size = 0;
    ASSERT_EQ(io::RawOk, file->size(&size));
    EXPECT_EQ(16u * 512u, size);
    EXPECT_EQ(io::RawInvalidArgument, file->size(nullptr));
    EXPECT_EQ(io::RawInvalidArgument, file->tell(nullptr));
}

TEST_F(RawFileTest, ShortTransfersAtTheEndAreNotSuccess) {
    auto file = io::rawfile::wrapHandle(handle, false);
    uint32_t got = 99;
    ASSERT_EQ(io::RawOk, file->seek(15 * 512, 0));
    EXPECT_EQ(io::RawEndOfFile, file->read(buffer, 1024, &got));
    EXPECT_EQ(512u, got);
    // A command sector only half on the disk must not pass as sent.
    ASSERT_EQ(io::RawOk, file->seek(15 * 512, 0));
    EXPECT_EQ(io::RawEndOfFile, file->write(buffer, 1024, &got));
    EXPECT_EQ(512u, got);
    ASSERT_EQ(io::RawOk, file->seek(16 * 512, 0));
    EXPECT_EQ(io::RawSystemError, file->write(buffer, 512, &got));
    EXPECT_EQ(0u, got);
}

TEST_F(RawFileTest, DirectIoRulesAndDeviceErrorsSurfaceAsSystemErrors) {
    auto file = io::rawfile::wrapHandle(handle, false);
    uint32_t got = 5;
    EXPECT_EQ(io::RawSystemError, file->read(bytes() + 8, 512, &got)) << "misaligned buffer";
    EXPECT_EQ(0u, got);
    ASSERT_EQ(io::RawOk, file->seek(100, 0));
    EXPECT_EQ(io::RawSystemError, file->read(buffer, 512, &got)) << "misaligned offset";
    ASSERT_EQ(io::RawOk, file->seek(0, 0));
    EXPECT_EQ(io::RawSystemError, file->read(buffer, 100, &got)) << "partial block";
    disk->setFaultInjector([](sim::DiskOp, uint64_t) { return EIO; });
    EXPECT_EQ(io::RawSystemError, file->read(buffer, 512, &got));
    EXPECT_EQ(io::RawSystemError, file->flush());
    EXPECT_EQ(io::RawSystemError, file->truncate());
}

TEST_F(RawFileTest, ClosedObjectsAnswerClosedExceptWhereTheyMustNot) {
    auto file = io::rawfile::wrapHandle(handle, false);
    ASSERT_EQ(io::RawOk, file->close());
    EXPECT_TRUE(file->isClosed());
    EXPECT_EQ(io::RawOk, file->close());
    EXPECT_EQ(io::RawOk, file->flush());
    EXPECT_EQ(io::RawInvalidArgument, file->seek(0, 3)) << "whence is checked first";
    EXPECT_EQ(io::RawClosed, file->seek(0, 0));
    uint32_t got = 9;
    EXPECT_EQ(io::RawClosed, file->read(buffer, 512, &got));
    EXPECT_EQ(0u, got);
    EXPECT_EQ(io::RawClosed, file->write(buffer, 512, &got));
    uint64_t v;
    EXPECT_EQ(io::RawClosed, file->tell(&v));
    EXPECT_EQ(io::RawClosed, file->size(&v));
    EXPECT_EQ(io::RawClosed, file->truncate());

    // The caller's handle outlives a wrapper that does not own it.
    file.reset();
    size_t done = 0;
    EXPECT_EQ(0, handle->readAt(buffer, 512, 0, &done));
    EXPECT_EQ(512u, done);
}

TEST_F(RawFileTest, OwningWrapperClosesTheHandle) {
    const long before = disk.use_count();
    int err = 0;
    io::DriveHandle own = platform->openPath("/dev/emulated", &err).release();
    auto file = io::rawfile::wrapHandle(own, true);
    EXPECT_EQ(before + 1, disk.use_count()) << "an open handle holds the disk";
    file.reset();
    EXPECT_EQ(before, disk.use_count());
    EXPECT_EQ(nullptr, io::rawfile::wrapHandle(nullptr, false));
}

TEST_F(RawFileTest, SeekThenTransferStopsAtTheFirstFailure) {
    auto file = io::rawfile::wrapHandle(handle, false);
    std::memset(buffer, 0x5C, 512);
    EXPECT_EQ(io::RawOk, io::seekThenTransfer(*file, 5 * 512, buffer, 512, io::Transfer::Write));
    std::memset(buffer, 0, 512);
    EXPECT_EQ(io::RawOk, io::seekThenTransfer(*file, 5 * 512, buffer, 512, io::Transfer::Read));
    EXPECT_EQ(0x5C, bytes()[100]);
    EXPECT_EQ(io::RawInvalidArgument,
              io::seekThenTransfer(*file, ~0ull, buffer, 512, io::Transfer::Read));
    file->close();
    EXPECT_EQ(io::RawClosed, io::seekThenTransfer(*file, 0, buffer, 512, io::Transfer::Read));
}

}  // namespace
