#include "io/rawfile.h"

#include <cerrno>
#include <limits>
#include <new>

namespace corvane::io {
namespace rawfile {

RawFileLinux::~RawFileLinux() {
    close();
}

RawFileResult RawFileLinux::close() {
    if (closed_) {
        return RawOk;
    }
    if (ownsHandle_ && handle_) {
        if (handle_->close() != 0) {
            return RawSystemError;
        }
        delete handle_;
        handle_ = nullptr;
    }
    closed_ = true;
    return RawOk;
}

RawFileResult RawFileLinux::read(void* buffer, uint32_t count, uint32_t* gotOut) {
    if (gotOut) {
        *gotOut = 0;
    }
    if (closed_) {
        return RawClosed;
    }
    if (!buffer && count > 0) {
        return RawInvalidArgument;
    }
    size_t done = 0;
    if (handle_->readAt(buffer, count, position_, &done) != 0) {
        return RawSystemError;
    }
    position_ += done;
    if (gotOut) {
        *gotOut = uint32_t(done);
    }
    return done == count ? RawOk : RawEndOfFile;
}

RawFileResult RawFileLinux::write(const void* buffer, uint32_t count, uint32_t* writtenOut) {
    if (writtenOut) {
        *writtenOut = 0;
    }
    if (closed_) {
        return RawClosed;
    }
    if (!buffer && count > 0) {
        return RawInvalidArgument;
    }
    size_t done = 0;
    if (handle_->writeAt(buffer, count, position_, &done) != 0) {
        return RawSystemError;
    }
    position_ += done;
    if (writtenOut) {
        *writtenOut = uint32_t(done);
    }
    return done == count ? RawOk : RawEndOfFile;
}

RawFileResult RawFileLinux::flush() {
    if (closed_) {
        return RawOk;
    }
    return handle_->flush() == 0 ? RawOk : RawSystemError;
}

RawFileResult RawFileLinux::seek(int64_t offset, int whence) {
    if (whence < 0 || whence > 2) {
        return RawInvalidArgument;
    }
    if (closed_) {
        return RawClosed;
    }
    int64_t base = 0;
    if (whence == 1) {
        base = int64_t(position_);
    } else if (whence == 2) {
        uint64_t size = 0;
        if (handle_->sizeBytes(&size) != 0) {
            return RawSystemError;
        }
        base = int64_t(size);
    }
    if ((offset > 0 && base > std::numeric_limits<int64_t>::max() - offset) || base + offset < 0) {
        return RawSystemError;  // as the system refuses a position before the start
    }
    position_ = uint64_t(base + offset);
    return RawOk;
}

RawFileResult RawFileLinux::tell(uint64_t* positionOut) {
    if (!positionOut) {
        return RawInvalidArgument;
    }
    if (closed_) {
        return RawClosed;
    }
    *positionOut = position_;
    return RawOk;
}

RawFileResult RawFileLinux::size(uint64_t* sizeOut) {
    if (!sizeOut) {
        return RawInvalidArgument;
    }
    if (closed_) {
        return RawClosed;
    }
    uint64_t size = 0;
    if (handle_->sizeBytes(&size) != 0) {
        return RawSystemError;
    }
    *sizeOut = size;
    return RawOk;
}

// The end of the file moves to the current position.
RawFileResult RawFileLinux::truncate() {
    if (closed_) {
        return RawClosed;
    }
    return handle_->truncate(position_) == 0 ? RawOk : RawSystemError;
}

std::shared_ptr<IoFeatures<31>> wrapHandle(DriveHandle handle, bool ownsHandle) {
    if (!handle) {
        return nullptr;
    }
    auto* file = new (std::nothrow) RawFileLinux(handle, ownsHandle);
    if (!file) {
        return nullptr;
    }
    try {
        // The control block is a second allocation; when it fails, file is deleted.
        return std::shared_ptr<IoFeatures<31>>(file);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace rawfile

RawFileResult seekThenTransfer(IoFeatures<7>& view, uint64_t offset, void* buffer, uint32_t count,
                               Transfer direction) {
    if (offset > uint64_t(std::numeric_limits<int64_t>::max())) {
        return RawInvalidArgument;
    }
    RawFileResult r = view.seek(int64_t(offset), 0);
    if (r != RawOk) {
        return r;
    }
    return direction == Transfer::Read ? view.read(buffer, count, nullptr)
                                       : view.write(buffer, count, nullptr);
}

}  // namespace corvane::io
