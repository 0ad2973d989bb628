#pragma once

#include <functional>
#include <string>

namespace corvane::io {

// Notes for someone chasing a device that misbehaves: why an exchange took the path it
// took. Off unless a program asks for them (drivelore-cli --debug, the helper's log); the
// window never does.
using DebugSink = std::function<void(const std::string& line)>;
void setDebugSink(DebugSink sink);
// Whether a sink is set, so that callers build a note's text only when it is read.
bool debugging();
void debugNote(const std::string& line);

}  // namespace corvane::io
