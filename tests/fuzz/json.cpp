// The JSON reader: what it accepts, nlohmann reads to the same value, with no
// name repeated in any object; what it refuses, it explains in valid UTF-8.
#include "fuzz.hpp"
#include "qel_core/json.hpp"

// Members of all objects, repeats included; nlohmann keeps one per name.
static std::size_t members(simdjson::dom::element value) {
    std::size_t n = 0;
    if (value.is_array()) {
        for (const auto item : value.get_array().value_unsafe()) n += members(item);
    } else if (value.is_object()) {
        for (const auto member : value.get_object().value_unsafe()) n += 1 + members(member.value);
    }
    return n;
}
static std::size_t members(const nlohmann::json& value) {
    if (!value.is_structured()) return 0;
    std::size_t n = value.is_object() ? value.size() : 0;
    for (const auto& item : value) n += members(item);
    return n;
}

FUZZ_TARGET {
    qel_core::JsonParser parser(qel_core::kMaxJsonDepth);
    auto root = parser.parse(text);
    if (!fuzz::explained(root)) return;
    const auto expected = nlohmann::json::parse(text, nullptr, false);
    FUZZ_CHECK(!expected.is_discarded());
    FUZZ_CHECK(qel_core::to_generic(*root) == expected);
    FUZZ_CHECK(members(*root) == members(expected));
}
