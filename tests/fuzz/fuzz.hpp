#pragma once

// What the fuzz targets share: the input as bytes and as text, a check that
// aborts with the failed condition, so that libFuzzer keeps the input, and the
// check that a refusal is explained in valid UTF-8. A body returns nothing.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string_view>

#include "qel_core/utf8.hpp"

// A target's body sees the input as bytes (`data` and `size`, or `input`) and as `text`.
#define FUZZ_TARGET                                                                                           \
    static void fuzz_one(const std::uint8_t* data, std::size_t size, std::span<const std::uint8_t> input,     \
                         std::string_view text);                                                              \
    extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {                       \
        fuzz_one(data, size, {data, size}, ::fuzz::text(data, size));                                         \
        return 0;                                                                                             \
    }                                                                                                         \
    static void fuzz_one([[maybe_unused]] const std::uint8_t* data, [[maybe_unused]] std::size_t size,        \
                         [[maybe_unused]] std::span<const std::uint8_t> input, [[maybe_unused]] std::string_view text)
#define FUZZ_CHECK(condition) ((condition) ? (void)0 : ::fuzz::fail(#condition, __FILE__, __LINE__))

namespace fuzz {

[[noreturn]] inline void fail(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, condition);
    std::abort();
}

inline std::string_view text(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// True when `result` holds a value; a refusal's text must be valid UTF-8.
template <class Result>
bool explained(const Result& result) {
    if (!result) FUZZ_CHECK(qel_core::is_valid_utf8(result.error()));
    return result.has_value();
}

}  // namespace fuzz
