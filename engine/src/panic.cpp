#include "kavrel/panic.hpp"

#include <execinfo.h>

namespace kavrel {

Panic::Panic(std::string message, std::source_location where)
    : message_(std::move(message)),
      where_(where) {
    // Cheap enough for a rare event; the report decides whether to print them.
    frame_count_ = ::backtrace(frames_, static_cast<int>(sizeof frames_ / sizeof frames_[0]));
}

void panic(std::string message, std::source_location where) {
    throw Panic(std::move(message), where);
}

}  // namespace kavrel
