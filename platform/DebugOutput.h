// Where OutputDebugStringA goes on Linux: stderr, or a sink set by a test to capture the lines.
#pragma once

#include <functional>
#include <string>

namespace win32 {

// Every later OutputDebugStringA text goes to `sink` instead of stderr (an empty function restores
// stderr). Calls into the sink are serialised; the sink must not call OutputDebugStringA itself.
void SetDebugOutputSink(std::function<void(const std::string&)> sink);

}  // namespace win32
