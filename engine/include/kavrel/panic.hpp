// Internal failures: a broken invariant ends the current operation with a Panic
// that carries its message and the source location of the failing check.
#pragma once

#include <exception>
#include <source_location>
#include <string>

namespace kavrel {

// What the engine throws when a checked precondition does not hold (an index
// out of range, a hop of zero). The object that threw is left unchanged.
class Panic : public std::exception {
public:
    Panic(std::string message, std::source_location where);

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    // Where the check failed; file names are relative to the source tree.
    const std::source_location& where() const noexcept { return where_; }

    // Return addresses captured when the failure was raised, innermost first;
    // none where the C library cannot capture them.
    void* const* frames() const noexcept { return frames_; }
    int frame_count() const noexcept { return frame_count_; }

private:
    std::string message_;
    std::source_location where_;
    void* frames_[48];
    int frame_count_ = 0;
};

// Throws Panic(message, where).
[[noreturn]] void panic(std::string message,
                        std::source_location where = std::source_location::current());

}  // namespace kavrel
