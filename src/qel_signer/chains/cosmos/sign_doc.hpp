#pragma once

// Cosmos transactions in SIGN_MODE_DIRECT: the SignDoc a wallet is handed,
// read strictly, signed over its SHA-256 and turned into the TxRaw the REST
// API's broadcast takes.

#include <cstdint>
#include <expected>
#include <string>

#include "qel_signer/signed_tx.hpp"
#include "qel_signer/signer.hpp"

namespace qel_signer::chains::cosmos {

struct SignDoc {
    ByteSpan body_bytes;
    ByteSpan auth_info_bytes;
    std::string chain_id;
    std::uint64_t account_number = 0;
    ByteSpan public_key;  // the one signer's compressed secp256k1 key, from auth_info
};

// Reads a SignDoc in the one encoding a node rebuilds it in (the node signs
// and verifies the SignDoc it serializes from the TxRaw's fields), with a
// UTF-8 chain_id and an auth_info of exactly one signer: a
// "/cosmos.crypto.secp256k1.PubKey" of 33 bytes in SIGN_MODE_DIRECT. Texts
// name the part at fault: "sign doc: ...", "auth_info: ...", "signer info: ...",
// "public key: ...", "mode info: ...".
[[nodiscard]] std::expected<SignDoc, std::string> read_sign_doc(ByteSpan sign_doc);

// Signs SHA-256 of the SignDoc bytes with `key` (64 bytes r || s, low-S) and
// returns the TxRaw {body_bytes, auth_info_bytes, [signature]} and its
// SHA-256, the hash a node reports. Fails with InvalidTransaction "the
// signer's public key in auth_info is not this account's" when the key
// does not belong to that signer.
[[nodiscard]] std::expected<SignedTransaction, SignerError> sign_sign_doc(ByteSpan key, ByteSpan sign_doc,
                                                                         const SignDoc& read);

}  // namespace qel_signer::chains::cosmos
