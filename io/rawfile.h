#pragma once

#include <cstdint>
#include <memory>
#include <type_traits>

#include "io/passthrough.h"

namespace corvane::io {

enum RawFileResult : uint32_t {
    RawOk = 0,
    RawEndOfFile = 1,  // a short transfer
    RawInvalidArgument = 2,
    RawSystemError = 3,
    RawClosed = 7,
};

// Capability interfaces over a 5-bit mask: 1 read, 2 write and flush, 4 seek and tell,
// 8 size, 16 truncate. IoFeatures<N> inherits virtually from every IoFeatures<M> whose
// mask M is a subset of N, so one object can be handed out as any subset of its
// capabilities.
template <unsigned N>
class IoFeatures;

template <>
class IoFeatures<0> {
public:
    virtual ~IoFeatures() = default;
    virtual RawFileResult close() = 0;
    virtual bool isClosed() const = 0;
};

template <>
class IoFeatures<1> : public virtual IoFeatures<0> {
public:
    virtual RawFileResult read(void* buffer, uint32_t count, uint32_t* gotOut) = 0;
};

template <>
class IoFeatures<2> : public virtual IoFeatures<0> {
public:
    virtual RawFileResult write(const void* buffer, uint32_t count, uint32_t* writtenOut) = 0;
    virtual RawFileResult flush() = 0;
};

template <>
class IoFeatures<4> : public virtual IoFeatures<0> {
public:
    // whence: 0 from the start, 1 from the current position, 2 from the end.
    virtual RawFileResult seek(int64_t offset, int whence) = 0;
    virtual RawFileResult tell(uint64_t* positionOut) = 0;
};

template <>
class IoFeatures<8> : public virtual IoFeatures<0> {
public:
    virtual RawFileResult size(uint64_t* sizeOut) = 0;
};

template <>
class IoFeatures<16> : public virtual IoFeatures<0> {
public:
    virtual RawFileResult truncate() = 0;
};

namespace detail {
template <unsigned N, unsigned Bit>
struct NoSubset {};
// The interface of N without Bit, where Bit is set in N; an empty tag otherwise.
template <unsigned N, unsigned Bit>
using SubsetWithout = std::conditional_t<(N & Bit) != 0, IoFeatures<(N & ~Bit)>, NoSubset<N, Bit>>;
}  // namespace detail

template <unsigned N>
class IoFeatures : public virtual detail::SubsetWithout<N, 1>,
                   public virtual detail::SubsetWithout<N, 2>,
                   public virtual detail::SubsetWithout<N, 4>,
                   public virtual detail::SubsetWithout<N, 8>,
                   public virtual detail::SubsetWithout<N, 16> {
    static_assert(N < 32, "five capability bits");
};

namespace rawfile {

// Every call is one transfer at the wrapper's own position (pread/pwrite); no buffering.
class RawFileLinux final : public IoFeatures<31> {
public:
    RawFileLinux(DriveHandle handle, bool ownsHandle) : handle_(handle), ownsHandle_(ownsHandle) {}
    ~RawFileLinux() override;

    RawFileResult close() override;
    bool isClosed() const override { return closed_; }
    RawFileResult read(void* buffer, uint32_t count, uint32_t* gotOut) override;
    // A short write is a failure: a half-written command sector must not pass as sent.
    RawFileResult write(const void* buffer, uint32_t count, uint32_t* writtenOut) override;
    RawFileResult flush() override;
    RawFileResult seek(int64_t offset, int whence) override;
    RawFileResult tell(uint64_t* positionOut) override;
    RawFileResult size(uint64_t* sizeOut) override;
    // Ends the file at the current position; disks refuse (SystemError).
    RawFileResult truncate() override;

private:
    DriveHandle handle_;
    bool closed_ = false;
    bool ownsHandle_;
    uint64_t position_ = 0;
};

// Wraps an open handle; null when allocation fails.
std::shared_ptr<IoFeatures<31>> wrapHandle(DriveHandle handle, bool ownsHandle);

}  // namespace rawfile

enum class Transfer { Read, Write };

// Seeks to an absolute offset, then moves count bytes; the first non-Ok result is returned.
RawFileResult seekThenTransfer(IoFeatures<7>& view, uint64_t offset, void* buffer, uint32_t count,
                               Transfer direction);

}  // namespace corvane::io
