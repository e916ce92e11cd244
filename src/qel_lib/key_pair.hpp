#pragma once

#include <expected>

#include "error.hpp"
#include "qel_signer/bytes.hpp"
#include "qel_signer/secret_bytes.hpp"
#include "records.hpp"

namespace qel_lib {

// The secret of a private-key wallet as it is sealed in the envelope:
// {"ed25519":"<hex>","secp256k1":"<hex>"}, lower-case hex, no white space,
// built straight into a secret buffer.
[[nodiscard]] qel_signer::SecretBytes key_pair_plaintext(const KeyPair& pair);

// Reads that text back, members by name. Fails with InvalidInput "invalid
// key pair data" (not UTF-8), "missing secp256k1 key", "missing ed25519 key"
// (absent or not a string), "invalid secp256k1 hex: ..." or "invalid ed25519
// hex: ...", or Json "stored key pair is not valid JSON". The parser wipes its
// copies of the text and of its strings; no error quotes the text.
[[nodiscard]] std::expected<KeyPair, QelLibError> parse_key_pair(qel_signer::ByteSpan plaintext);

}  // namespace qel_lib
