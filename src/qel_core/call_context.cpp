#include "call_context.hpp"

#include <cstdlib>
#include <utility>

extern char** environ;

namespace qel_core {

namespace {
thread_local const CallScope* t_scope = nullptr;
}  // namespace

Environment Environment::capture() {
    Environment env;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) env.entries_.emplace_back(*entry);
    env.pointers_.clear();
    env.pointers_.reserve(env.entries_.size() + 1);
    for (std::string& entry : env.entries_) env.pointers_.push_back(entry.data());
    env.pointers_.push_back(nullptr);
    return env;
}

std::optional<std::string_view> Environment::get(std::string_view name) const {
    // The first entry wins, as getenv's does.
    for (const std::string& entry : entries_) {
        if (entry.size() > name.size() && entry[name.size()] == '=' && entry.starts_with(name)) {
            return std::string_view(entry).substr(name.size() + 1);
        }
    }
    return std::nullopt;
}

CallScope::CallScope(const Environment& environment, StopCheck stop)
    : environment_(&environment), stop_(std::move(stop)), outer_(t_scope) {
    t_scope = this;
}

CallScope::~CallScope() { t_scope = outer_; }

std::optional<std::string> environment_variable(const char* name) {
    if (t_scope != nullptr) {
        auto value = t_scope->environment_->get(name);
        if (!value) return std::nullopt;
        return std::string(*value);
    }
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

char* const* environment_block() { return t_scope != nullptr ? t_scope->environment_->block() : environ; }

bool stop_requested() { return t_scope != nullptr && t_scope->stop_ && t_scope->stop_(); }

}  // namespace qel_core
