// An Ethereum keystore file as a user hands it over: read or refused, and
// once read, of the sizes decryption relies on; a cheap one is decrypted
// with a wrong password, which must fail without harm.
#include "fuzz.hpp"
#include "qel_signer/keystore.hpp"

using qel_signer::keystore::Keystore;

FUZZ_TARGET {
    const auto keystore = qel_signer::keystore::parse(text);
    if (!keystore) {
        FUZZ_CHECK(!keystore.error().empty());
        return;
    }
    FUZZ_CHECK(keystore->iv.size() == 16 && keystore->ciphertext.size() == 32 && keystore->mac.size() == 32);
    FUZZ_CHECK(keystore->dklen >= 32 && (!keystore->address || keystore->address->size() == 20));
    const bool cheap = keystore->kdf == Keystore::Kdf::Scrypt
                           ? keystore->n <= 64 && keystore->r <= 8 && keystore->p <= 2 && keystore->dklen <= 64
                           : keystore->c <= 64 && keystore->dklen <= 64;
    if (cheap) (void)qel_signer::keystore::decrypt(*keystore, "not the password");
}
