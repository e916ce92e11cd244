#pragma once

// What one call takes from the process around it, fixed at the call's start:
// a copy of the environment and the caller's stop check. A host that runs
// calls on several threads (the Python module, with the interpreter lock
// released) copies the environment where reading it is safe and installs the
// copy for the call's length on the calling thread; everything below reads it
// from there. Without one installed, the process environment is read directly
// and nothing asks to stop.

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qel_core {

class Environment {
public:
    // A copy of the process environment as it is now.
    [[nodiscard]] static Environment capture();

    // The value of `name`, or nothing when it is not set.
    [[nodiscard]] std::optional<std::string_view> get(std::string_view name) const;
    // "NAME=value" entries and a terminating null, for a child process.
    [[nodiscard]] char* const* block() const noexcept { return pointers_.data(); }

    Environment() = default;
    Environment(const Environment&) = delete;
    Environment& operator=(const Environment&) = delete;
    Environment(Environment&&) noexcept = default;
    Environment& operator=(Environment&&) noexcept = default;

private:
    std::vector<std::string> entries_;
    std::vector<char*> pointers_{nullptr};
};

// Asked while a call waits on something outside it (another writer's lock, a
// child process); true ends the wait and the call with "interrupted".
using StopCheck = std::function<bool()>;

// Installs `environment` and `stop` for calls made on this thread until it is
// destroyed; both must outlive it. Scopes nest, the innermost applying.
class CallScope {
public:
    CallScope(const Environment& environment, StopCheck stop);
    ~CallScope();
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;

private:
    const Environment* environment_;
    StopCheck stop_;
    const CallScope* outer_;
    friend std::optional<std::string> environment_variable(const char* name);
    friend char* const* environment_block();
    friend bool stop_requested();
};

// The variable from this thread's scope, or from the process environment.
[[nodiscard]] std::optional<std::string> environment_variable(const char* name);
// The environment for a child process: this thread's scope's, or the process's.
[[nodiscard]] char* const* environment_block();
// This thread's scope's stop check; false without a scope or without a check.
[[nodiscard]] bool stop_requested();

}  // namespace qel_core
