#define FUSE_USE_VERSION 31
#include "sim/disk_fs.h"

#include <fcntl.h>
#include <fuse3/fuse.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace corvane::sim {
namespace {

// One open of a file: the emulated disk tells exchanges of different handles apart.
struct OpenFile {
    std::shared_ptr<EmulatedDisk> disk;
};

DiskFileSystem::Files& served() {
    return *static_cast<DiskFileSystem::Files*>(fuse_get_context()->private_data);
}

std::shared_ptr<EmulatedDisk> find(const char* path) {
    if (path[0] != '/') {
        return nullptr;
    }
    for (const auto& [name, disk] : served()) {
        if (name == path + 1) {
            return disk;
        }
    }
    return nullptr;
}

struct AlignedBuffer {
    AlignedBuffer(size_t alignment, size_t size) {
        if (posix_memalign(&data, alignment < 4096 ? 4096 : alignment, size ? size : 1) != 0) {
            data = nullptr;
        }
    }
    ~AlignedBuffer() { std::free(data); }
    void* data = nullptr;
};

void* init(fuse_conn_info* /*conn*/, fuse_config* config) {
    // Every transfer reaches the emulator: with a page cache the host would read back its
    // own command sector instead of the firmware's answer.
    config->direct_io = 1;
    config->kernel_cache = 0;
    // A RAID set initialised anew has another size.
    config->attr_timeout = 0;
    config->entry_timeout = 0;
    return fuse_get_context()->private_data;
}

int getattr(const char* path, struct stat* st, fuse_file_info* /*fi*/) {
    std::memset(st, 0, sizeof *st);
    if (std::strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        return 0;
    }
    const auto disk = find(path);
    if (!disk) {
        return -ENOENT;
    }
    st->st_mode = S_IFREG | 0600;
    st->st_nlink = 1;
    st->st_size = off_t(disk->sizeBytes());
    st->st_blksize = blksize_t(disk->blockSize());
    return 0;
}

int readdir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t /*offset*/,
            fuse_file_info* /*fi*/, fuse_readdir_flags /*flags*/) {
    if (std::strcmp(path, "/") != 0) {
        return -ENOENT;
    }
    fill(buffer, ".", nullptr, 0, fuse_fill_dir_flags(0));
    fill(buffer, "..", nullptr, 0, fuse_fill_dir_flags(0));
    for (const auto& file : served()) {
        fill(buffer, file.first.c_str(), nullptr, 0, fuse_fill_dir_flags(0));
    }
    return 0;
}

int open(const char* path, fuse_file_info* fi) {
    auto disk = find(path);
    if (!disk) {
        return -ENOENT;
    }
    disk->opened();
    fi->fh = reinterpret_cast<uint64_t>(new OpenFile{std::move(disk)});
    fi->direct_io = 1;
    return 0;
}

int release(const char* /*path*/, fuse_file_info* fi) {
    delete reinterpret_cast<OpenFile*>(fi->fh);
    return 0;
}

int read(const char* /*path*/, char* out, size_t size, off_t offset, fuse_file_info* fi) {
    auto* file = reinterpret_cast<OpenFile*>(fi->fh);
    EmulatedDisk& disk = *file->disk;
    const uint64_t block = disk.blockSize();
    const uint64_t start = uint64_t(offset) / block * block;
    const uint64_t end = (uint64_t(offset) + size + block - 1) / block * block;
    AlignedBuffer buffer(block, end - start);
    if (!buffer.data) {
        return -ENOMEM;
    }
    size_t done = 0;
    if (int err = disk.read(buffer.data, end - start, start, &done, file)) {
        return -err;
    }
    const uint64_t skip = uint64_t(offset) - start;
    if (done <= skip) {
        return 0;
    }
    const size_t n = std::min<size_t>(size, done - skip);
    std::memcpy(out, static_cast<char*>(buffer.data) + skip, n);
    return int(n);
}

int write(const char* /*path*/, const char* in, size_t size, off_t offset, fuse_file_info* fi) {
    auto* file = reinterpret_cast<OpenFile*>(fi->fh);
    EmulatedDisk& disk = *file->disk;
    AlignedBuffer buffer(disk.blockSize(), size);
    if (!buffer.data) {
        return -ENOMEM;
    }
    std::memcpy(buffer.data, in, size);
    size_t done = 0;
    if (int err = disk.write(buffer.data, size, uint64_t(offset), &done, file)) {
        return -err;
    }
    return done == 0 && size > 0 ? -ENOSPC : int(done);
}

int fsync(const char* /*path*/, int /*dataOnly*/, fuse_file_info* fi) {
    return -reinterpret_cast<OpenFile*>(fi->fh)->disk->flush();
}

const fuse_operations& operations() {
    static const fuse_operations ops = [] {
        fuse_operations o;
        std::memset(&o, 0, sizeof o);
        o.init = init;
        o.getattr = getattr;
        o.readdir = readdir;
        o.open = open;
        o.release = release;
        o.read = read;
        o.write = write;
        o.fsync = fsync;
        return o;
    }();
    return ops;
}

}  // namespace

DiskFileSystem::~DiskFileSystem() {
    unmount();
}

std::string DiskFileSystem::mount(const std::string& mountPoint, Files files) {
    if (fuse_) {
        return "already mounted";
    }
    if (access("/dev/fuse", R_OK | W_OK) != 0) {
        return "no /dev/fuse";
    }
    files_ = std::move(files);
    char name[] = "drivelore-simfs";
    char* argv[] = {name, nullptr};
    fuse_args args = FUSE_ARGS_INIT(1, argv);
    fuse_ = fuse_new(&args, &operations(), sizeof(fuse_operations), &files_);
    fuse_opt_free_args(&args);
    if (!fuse_) {
        return "fuse_new failed";
    }
    if (fuse_mount(fuse_, mountPoint.c_str()) != 0) {
        fuse_destroy(fuse_);
        fuse_ = nullptr;
        return "cannot mount a FUSE file system at " + mountPoint;
    }
    mountPoint_ = mountPoint;
    fuse* f = fuse_;
    loop_ = std::thread([f] { fuse_loop(f); });
    return {};
}

void DiskFileSystem::unmount() {
    if (!fuse_) {
        return;
    }
    struct stat st {};
    const bool known = stat(mountPoint_.c_str(), &st) == 0;
    fuse_exit(fuse_);
    // The session's descriptor is closed only after the serving thread has ended: the
    // kernel side goes first, which wakes the thread.
    umount2(mountPoint_.c_str(), MNT_DETACH);
    // A file still open (a loop device left attached) would keep the connection and the
    // serving thread alive: abort the connection so that the thread always ends.
    if (known) {
        std::ofstream abort("/sys/fs/fuse/connections/" + std::to_string(minor(st.st_dev)) +
                            "/abort");
        abort << "1";
    }
    loop_.join();
    fuse_unmount(fuse_);
    fuse_destroy(fuse_);
    fuse_ = nullptr;
}

}  // namespace corvane::sim
