#include "io/debug.h"

#include <atomic>
#include <memory>
#include <mutex>

namespace corvane::io {
namespace {

std::mutex sinkMutex;
std::shared_ptr<const DebugSink> sink;
std::atomic<bool> enabled{false};

}  // namespace

void setDebugSink(DebugSink s) {
    std::lock_guard<std::mutex> lock(sinkMutex);
    sink = s ? std::make_shared<const DebugSink>(std::move(s)) : nullptr;
    enabled = sink != nullptr;
}

bool debugging() {
    return enabled.load();
}

void debugNote(const std::string& line) {
    // Under the lock, so that notes of two threads never interleave.
    std::lock_guard<std::mutex> lock(sinkMutex);
    if (sink) {
        (*sink)(line);
    }
}

}  // namespace corvane::io
