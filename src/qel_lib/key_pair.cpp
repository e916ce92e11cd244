#include "key_pair.hpp"

#include <optional>
#include <string_view>

#include "qel_core/json.hpp"
#include "qel_core/utf8.hpp"
#include "qel_signer/encoding.hpp"
#include "text.hpp"

namespace qel_lib {

using qel_signer::ByteSpan;
using qel_signer::Bytes;
using qel_signer::SecretBytes;

namespace {

// Writes `key` as lower-case hex into `out` without any intermediate copy.
void append_hex(Bytes& out, ByteSpan key) {
    static constexpr char kDigits[] = "0123456789abcdef";
    for (std::uint8_t b : key) {
        out.push_back(static_cast<std::uint8_t>(kDigits[b >> 4]));
        out.push_back(static_cast<std::uint8_t>(kDigits[b & 0x0F]));
    }
}

void append_text(Bytes& out, std::string_view text) {
    out.insert(out.end(), text.begin(), text.end());
}

}  // namespace

SecretBytes key_pair_plaintext(const KeyPair& pair) {
    Bytes out;
    out.reserve(34 + 2 * (pair.ed25519.size() + pair.secp256k1.size()));
    append_text(out, R"({"ed25519":")");
    append_hex(out, pair.ed25519.as_slice());
    append_text(out, R"(","secp256k1":")");
    append_hex(out, pair.secp256k1.as_slice());
    append_text(out, R"("})");
    return SecretBytes(std::move(out));
}

std::expected<KeyPair, QelLibError> parse_key_pair(ByteSpan plaintext) {
    if (!qel_core::is_valid_utf8(as_text(plaintext))) {
        return std::unexpected(QelLibError::invalid_input("invalid key pair data"));
    }
    qel_core::JsonParser parser(qel_core::kMaxJsonDepth, &qel_signer::wipe);
    auto doc = parser.parse(as_text(plaintext));
    if (!doc) return std::unexpected(QelLibError::json("stored key pair is not valid JSON"));
    simdjson::dom::object object;
    const bool is_object = doc->get_object().get(object) == simdjson::SUCCESS;
    const auto member = [&](const char* name) -> std::optional<std::string_view> {
        std::string_view hex;
        if (!is_object) return std::nullopt;
        const auto value = qel_core::find_member(object, name);
        if (!value || value->get_string().get(hex) != simdjson::SUCCESS) return std::nullopt;
        return hex;
    };
    const auto secp_hex = member("secp256k1");
    if (!secp_hex) return std::unexpected(QelLibError::invalid_input("missing secp256k1 key"));
    const auto ed_hex = member("ed25519");
    if (!ed_hex) return std::unexpected(QelLibError::invalid_input("missing ed25519 key"));
    auto secp = qel_signer::hex_decode(*secp_hex);
    if (!secp) return std::unexpected(QelLibError::invalid_input("invalid secp256k1 hex: " + secp.error()));
    KeyPair pair;
    pair.secp256k1 = SecretBytes(std::move(*secp));
    auto ed = qel_signer::hex_decode(*ed_hex);
    if (!ed) return std::unexpected(QelLibError::invalid_input("invalid ed25519 hex: " + ed.error()));
    pair.ed25519 = SecretBytes(std::move(*ed));
    return pair;
}

}  // namespace qel_lib
