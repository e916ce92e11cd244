// The stored key pair of a private-key wallet, as the envelope's plaintext:
// a pair it reads is written back to text that it reads to the same keys.
#include <algorithm>

#include "fuzz.hpp"
#include "qel_lib/key_pair.hpp"

static bool same(const qel_signer::SecretBytes& a, const qel_signer::SecretBytes& b) {
    return std::ranges::equal(a.as_slice(), b.as_slice());
}

FUZZ_TARGET {
    auto pair = qel_lib::parse_key_pair(input);
    if (!pair) return;
    const qel_signer::SecretBytes plaintext = qel_lib::key_pair_plaintext(*pair);
    auto again = qel_lib::parse_key_pair(plaintext.as_slice());
    FUZZ_CHECK(again.has_value() && same(again->ed25519, pair->ed25519) && same(again->secp256k1, pair->secp256k1));
}
