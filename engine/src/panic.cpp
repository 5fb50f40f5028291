#include "kavrel/panic.hpp"

// Return addresses are captured where the C library offers them (glibc,
// macOS); elsewhere a Panic carries none.
#if __has_include(<execinfo.h>)
#include <execinfo.h>
#define KAVREL_HAVE_BACKTRACE 1
#endif

namespace kavrel {

Panic::Panic(std::string message, std::source_location where)
    : message_(std::move(message)),
      where_(where) {
#ifdef KAVREL_HAVE_BACKTRACE
    // Cheap enough for a rare event; the report decides whether to print them.
    frame_count_ = ::backtrace(frames_, static_cast<int>(sizeof frames_ / sizeof frames_[0]));
#endif
}

void panic(std::string message, std::source_location where) {
    throw Panic(std::move(message), where);
}

}  // namespace kavrel
