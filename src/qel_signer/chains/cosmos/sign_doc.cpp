#include "sign_doc.hpp"

#include <algorithm>

#include "qel_core/utf8.hpp"
#include "qel_signer/hash.hpp"
#include "qel_signer/protobuf.hpp"
#include "qel_signer/secp256k1.hpp"

namespace qel_signer::chains::cosmos {

namespace {

namespace pb = protobuf;
using Fault = std::unexpected<std::string>;
using pb::Wire;

constexpr pb::Rule kSignDoc[] = {{1, Wire::Bytes}, {2, Wire::Bytes}, {3, Wire::Bytes}, {4, Wire::Varint}};
constexpr pb::Rule kAuthInfo[] = {{1, Wire::Bytes, true}, {2, Wire::Bytes}, {3, Wire::Bytes}};
constexpr pb::Rule kSignerInfo[] = {{1, Wire::Bytes}, {2, Wire::Bytes}, {3, Wire::Varint}};
constexpr pb::Rule kAny[] = {{1, Wire::Bytes}, {2, Wire::Bytes}};
constexpr pb::Rule kPubKey[] = {{1, Wire::Bytes}};
constexpr pb::Rule kModeInfo[] = {{1, Wire::Bytes}, {2, Wire::Bytes}};
constexpr pb::Rule kSingle[] = {{1, Wire::Varint}};

constexpr std::string_view kPubKeyType = "/cosmos.crypto.secp256k1.PubKey";
constexpr std::uint64_t kSignModeDirect = 1;

std::string_view text_of(ByteSpan bytes) { return {reinterpret_cast<const char*>(bytes.data()), bytes.size()}; }

// The one signer's public key.
std::expected<ByteSpan, std::string> signer_key(ByteSpan auth_info_bytes) {
    const auto auth_info = pb::read_message(auth_info_bytes, kAuthInfo, "auth_info");
    if (!auth_info) return Fault(auth_info.error());
    const auto signers = std::count_if(auth_info->begin(), auth_info->end(), [](const pb::Field& f) { return f.number == 1; });
    if (signers != 1) return Fault("auth_info: expected one signer, got " + std::to_string(signers));
    const auto info = pb::read_message(pb::find(*auth_info, 1)->bytes, kSignerInfo, "signer info");
    if (!info) return Fault(info.error());
    const pb::Field* key_any = pb::find(*info, 1);
    const pb::Field* mode_info = pb::find(*info, 2);
    if (key_any == nullptr) return Fault("signer info: no public key");
    if (mode_info == nullptr) return Fault("signer info: no mode info");
    const auto mode = pb::read_message(mode_info->bytes, kModeInfo, "mode info");
    if (!mode) return Fault(mode.error());
    const pb::Field* single = pb::find(*mode, 1);
    if (single == nullptr) return Fault("mode info: expected a single signer's mode");
    const auto single_fields = pb::read_message(single->bytes, kSingle, "mode info");
    if (!single_fields) return Fault(single_fields.error());
    const pb::Field* sign_mode = pb::find(*single_fields, 1);
    if (sign_mode == nullptr || sign_mode->value != kSignModeDirect) {
        return Fault("mode info: expected SIGN_MODE_DIRECT (1), got " +
                     std::to_string(sign_mode == nullptr ? 0 : sign_mode->value));
    }
    const auto any = pb::read_message(key_any->bytes, kAny, "public key");
    if (!any) return Fault(any.error());
    const pb::Field* type = pb::find(*any, 1);
    if (type == nullptr || text_of(type->bytes) != kPubKeyType) {
        return Fault("public key: expected type " + std::string(kPubKeyType));
    }
    const pb::Field* value = pb::find(*any, 2);
    const auto pub = pb::read_message(value != nullptr ? value->bytes : ByteSpan{}, kPubKey, "public key");
    if (!pub) return Fault(pub.error());
    const pb::Field* key = pb::find(*pub, 1);
    if (key == nullptr || key->bytes.size() != 33) return Fault("public key: expected 33 bytes");
    return key->bytes;
}

}  // namespace

std::expected<SignDoc, std::string> read_sign_doc(ByteSpan sign_doc) {
    if (sign_doc.empty()) return Fault("empty sign doc");
    const auto fields = pb::read_message(sign_doc, kSignDoc, "sign doc");
    if (!fields) return Fault(fields.error());
    SignDoc out;
    if (const auto* body = pb::find(*fields, 1)) out.body_bytes = body->bytes;
    const pb::Field* auth_info = pb::find(*fields, 2);
    const pb::Field* chain_id = pb::find(*fields, 3);
    if (auth_info == nullptr) return Fault("sign doc: no auth_info");
    if (chain_id == nullptr) return Fault("sign doc: no chain_id");
    out.auth_info_bytes = auth_info->bytes;
    out.chain_id = std::string(text_of(chain_id->bytes));
    if (!qel_core::is_valid_utf8(out.chain_id)) return Fault("sign doc: chain_id is not UTF-8");
    if (const auto* number = pb::find(*fields, 4)) out.account_number = number->value;
    auto key = signer_key(out.auth_info_bytes);
    if (!key) return Fault(key.error());
    out.public_key = *key;
    return out;
}

std::expected<SignedTransaction, SignerError> sign_sign_doc(ByteSpan key, ByteSpan sign_doc, const SignDoc& read) {
    const auto own = secp256k1::compressed_public_key(key);
    if (!own) return std::unexpected(own.error());
    if (!std::equal(own->begin(), own->end(), read.public_key.begin(), read.public_key.end())) {
        return std::unexpected(SignerError{SignerError::Kind::InvalidTransaction,
                                           "the signer's public key in auth_info is not this account's"});
    }
    auto signature = secp256k1::sign_digest(key, sha256(sign_doc), "hash");
    if (!signature) return std::unexpected(signature.error());
    SignedTransaction out;
    if (!read.body_bytes.empty()) pb::put_bytes(out.wire, 1, read.body_bytes);
    pb::put_bytes(out.wire, 2, read.auth_info_bytes);
    pb::put_bytes(out.wire, 3, ByteSpan(signature->signature).first(64));
    const Hash32 hash = sha256(out.wire);
    out.hash.assign(hash.begin(), hash.end());
    return out;
}

}  // namespace qel_signer::chains::cosmos
