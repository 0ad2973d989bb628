#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "io/rawfile.h"
#include "sim/emulated_disk.h"

using namespace corvane;
using io::IoFeatures;

// This file replaces operator new and delete with malloc and free; gcc cannot see that
// the pair belongs together.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

// Makes the n-th allocation of operator new from now on fail (0: none), as a process that
// runs out of memory sees it.
namespace {
thread_local int failAllocation = 0;

void* allocate(std::size_t size) {
    if (failAllocation > 0 && --failAllocation == 0)
        return nullptr;
    return std::malloc(size ? size : 1);
}
}  // namespace

void* operator new(std::size_t size) {
    if (void* p = allocate(size))
        return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

// Every mask converts to each of its subsets and to nothing else.
template <unsigned N, unsigned... Ms>
constexpr bool convertsToSubsetsOnly(std::integer_sequence<unsigned, Ms...>) {
    return ((std::is_convertible_v<IoFeatures<N>*, IoFeatures<Ms>*> == ((Ms & ~N) == 0)) && ...);
}
template <unsigned... Ns>
constexpr bool allMasks(std::integer_sequence<unsigned, Ns...>) {
    return (convertsToSubsetsOnly<Ns>(std::make_integer_sequence<unsigned, 32>()) && ...);
}
static_assert(allMasks(std::make_integer_sequence<unsigned, 32>()));

class RawFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        disk->fillWithPattern(7);
        platform->addPath("/dev/emulated", disk);
        int err = 0;
        drive.reset(platform->openPath("/dev/emulated", &err).release());
        ASSERT_NE(nullptr, drive);
        file = io::rawfile::wrapHandle(drive.get(), false);
    }

    std::shared_ptr<sim::EmulatedPlatform> platform = std::make_shared<sim::EmulatedPlatform>();
    std::shared_ptr<sim::EmulatedDisk> disk = std::make_shared<sim::EmulatedDisk>(512, 16);
    io::UniqueDrive drive;  // outlives the wrapper
    std::shared_ptr<IoFeatures<31>> file;
    alignas(512) uint8_t buffer[1024] = {};
    uint32_t got = 99;
    uint64_t pos = 0;
};

TEST_F(RawFileTest, ReadsAndWritesAtTheSeekPosition) {
    ASSERT_EQ(io::RawOk, file->seek(3 * 512, 0));
    ASSERT_EQ(io::RawOk, file->read(buffer, 512, &got));
    EXPECT_EQ(disk->patternByte(3 * 512 + 17), buffer[17]);
    std::memset(buffer, 0xAB, 512);
    ASSERT_EQ(io::RawOk, file->seek(-512, 1));
    ASSERT_EQ(io::RawOk, file->write(buffer, 512, &got));
    ASSERT_EQ(io::RawOk, file->tell(&pos));
    EXPECT_EQ(4u * 512u, pos) << "reads and writes move the position";
    ASSERT_EQ(io::RawOk, io::seekThenTransfer(*file, 5 * 512, buffer, 512, io::Transfer::Write));
    for (uint64_t written : {3, 5}) {
        uint8_t block[512];
        disk->peek(written, block);
        EXPECT_EQ(0xAB, block[511]) << written;
    }

    ASSERT_EQ(io::RawOk, file->seek(-512, 2));
    ASSERT_EQ(io::RawOk, file->tell(&pos));
    EXPECT_EQ(15u * 512u, pos);
    EXPECT_EQ(io::RawSystemError, file->seek(-1, 0)) << "before the start";
    EXPECT_EQ(io::RawSystemError, file->seek(std::numeric_limits<int64_t>::max(), 1))
        << "beyond the largest position";
    EXPECT_EQ(io::RawInvalidArgument,
              io::seekThenTransfer(*file, ~0ull, buffer, 512, io::Transfer::Read));
}

TEST_F(RawFileTest, ShortAndFailedTransfersAreNotSuccess) {
    ASSERT_EQ(io::RawOk, file->seek(15 * 512, 0));
    EXPECT_EQ(io::RawEndOfFile, file->read(buffer, 1024, &got));
    EXPECT_EQ(512u, got);
    // A command sector only half on the disk must not pass as sent.
    ASSERT_EQ(io::RawOk, file->seek(15 * 512, 0));
    EXPECT_EQ(io::RawEndOfFile, file->write(buffer, 1024, &got));
    EXPECT_EQ(512u, got);
    EXPECT_EQ(io::RawSystemError, file->write(buffer, 512, &got)) << "past the end";
    EXPECT_EQ(0u, got);

    disk->setFaultInjector([](sim::DiskOp, uint64_t) { return EIO; });
    EXPECT_EQ(io::RawSystemError, file->read(buffer, 512, &got));
    EXPECT_EQ(io::RawSystemError, file->flush());
    EXPECT_EQ(io::RawSystemError, file->seek(0, 2)) << "the size is unknown";
}

TEST_F(RawFileTest, ClosedObjectsAnswerClosedExceptWhereTheyMustNot) {
    ASSERT_EQ(io::RawOk, file->close());
    EXPECT_EQ(io::RawOk, file->close());
    EXPECT_EQ(io::RawOk, file->flush());
    EXPECT_EQ(io::RawInvalidArgument, file->seek(0, 3)) << "whence is checked first";
    EXPECT_EQ(io::RawClosed, file->seek(0, 0));
    EXPECT_EQ(io::RawClosed, file->read(buffer, 512, &got));
    EXPECT_EQ(0u, got);
    EXPECT_EQ(io::RawClosed, file->write(buffer, 512, &got));
    EXPECT_EQ(io::RawClosed, file->tell(&pos));
    EXPECT_EQ(io::RawClosed, file->size(&pos));
    EXPECT_EQ(io::RawClosed, file->truncate());
    EXPECT_EQ(io::RawClosed, io::seekThenTransfer(*file, 0, buffer, 512, io::Transfer::Read));
}

// Only an owning wrapper closes the handle: the caller's outlives one that does not own it.
TEST_F(RawFileTest, OnlyAnOwningWrapperClosesTheHandle) {
    file.reset();
    size_t done = 0;
    EXPECT_EQ(0, drive->readAt(buffer, 512, 0, &done));

    const long before = disk.use_count();
    int err = 0;
    file = io::rawfile::wrapHandle(platform->openPath("/dev/emulated", &err).release(), true);
    EXPECT_EQ(before + 1, disk.use_count()) << "an open handle holds the disk";
    file.reset();
    EXPECT_EQ(before, disk.use_count());
    EXPECT_EQ(nullptr, io::rawfile::wrapHandle(nullptr, false));
}

// A disk that records what the wrapper asks of it.
class RecordingDisk : public io::Disk {
public:
    int close() override { return 0; }
    int blockSize(uint32_t* out) override { return *out = 512, 0; }
    int sizeBytes(uint64_t* out) override { return *out = 4096, 0; }
    int scsi(sg_io_hdr_t*) override { return ENOTTY; }
    int readAt(void*, size_t, uint64_t, size_t* done) override { return *done = 0, 0; }
    int writeAt(const void*, size_t, uint64_t, size_t* done) override { return *done = 0, 0; }
    int flush() override { return 0; }
    int lock(uint32_t) override { return 0; }
    int unlock() override { return 0; }
    int truncate(uint64_t length) override {
        lengths.push_back(length);
        return refuse;
    }
    std::string path() const override { return "recording"; }
    std::vector<uint64_t> lengths;
    int refuse = 0;
};

TEST(RawFile, TruncateEndsTheFileAtThePosition) {
    RecordingDisk disk;
    auto file = io::rawfile::wrapHandle(&disk, false);
    ASSERT_EQ(io::RawOk, file->seek(1000, 0));
    EXPECT_EQ(io::RawOk, file->truncate());
    ASSERT_EQ(io::RawOk, file->seek(-24, 1));
    disk.refuse = EIO;
    EXPECT_EQ(io::RawSystemError, file->truncate());
    EXPECT_EQ((std::vector<uint64_t>{1000, 976}), disk.lengths);
    file->close();
    EXPECT_EQ(io::RawClosed, file->truncate());
    EXPECT_EQ(2u, disk.lengths.size());
}

// Each allocation of the wrapper may fail; the answer is null, never an exception.
TEST(RawFile, WrapHandleAnswersNullWhenMemoryRunsOut) {
    RecordingDisk disk;
    for (int n = 1; n <= 2; ++n) {
        std::shared_ptr<io::IoFeatures<31>> file;
        failAllocation = n;
        EXPECT_NO_THROW(file = io::rawfile::wrapHandle(&disk, false)) << n;
        failAllocation = 0;
        EXPECT_EQ(nullptr, file) << n;
    }
    EXPECT_NE(nullptr, io::rawfile::wrapHandle(&disk, false));
}

}  // namespace
