// The broadcast reply as curl's output reaches it (UTF-8 repaired): the hash
// is nlohmann's "result", an "RPC error" carries the reply's "error" (cut
// short when long), and every message is valid UTF-8.
#include "fuzz.hpp"
#include "qel_core/shown.hpp"
#include "qel_core/utf8.hpp"
#include "qel_lib/ops.hpp"

FUZZ_TARGET {
    const std::string reply = qel_core::utf8_lossy(text);
    const auto hash = qel_lib::ops::extract_json_field(reply, "result");
    if (hash) {
        const auto doc = nlohmann::json::parse(reply, nullptr, false);
        FUZZ_CHECK(doc.is_object() && !doc.contains("error") && doc.contains("result") && doc.at("result") == *hash);
        return;
    }
    const std::string message = hash.error().message();
    FUZZ_CHECK(qel_core::is_valid_utf8(message));
    static constexpr std::string_view kRpcError = "broadcast failed: RPC error: ";
    if (message.starts_with(kRpcError)) {
        const auto doc = nlohmann::json::parse(reply, nullptr, false);
        FUZZ_CHECK(doc.is_object() && doc.contains("error"));
        const std::string error = doc.at("error").dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        FUZZ_CHECK(message.substr(kRpcError.size()) == qel_core::shown(error));
    }
}
