// Internal failures: a broken invariant ends the current operation with a Panic
// that carries its message and the source location of the failing check.
#pragma once

#include <exception>
#include <source_location>
#include <string>

namespace kavrel {

class Panic : public std::exception {
public:
    Panic(std::string message, std::source_location where);

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const std::source_location& where() const noexcept { return where_; }

    // Return addresses captured when the failure was raised, innermost first.
    void* const* frames() const noexcept { return frames_; }
    int frame_count() const noexcept { return frame_count_; }

private:
    std::string message_;
    std::source_location where_;
    void* frames_[48];
    int frame_count_ = 0;
};

[[noreturn]] void panic(std::string message,
                        std::source_location where = std::source_location::current());

}  // namespace kavrel
