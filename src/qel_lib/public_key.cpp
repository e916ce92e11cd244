// The public key of a stored wallet's account: what others need to check its
// signatures where the address does not reveal it (TON).

#include "ops.hpp"
#include "qel_signer/ed25519.hpp"
#include "qel_signer/encoding.hpp"
#include "qel_signer/secp256k1.hpp"
#include "qel_signer/signer.hpp"

namespace qel_lib::ops {

std::expected<std::string, QelLibError> get_public_key(std::string_view wallet, std::string_view chain,
                                                      OptText passphrase, OptIndex index, const OptPath& vault_root) {
    auto resolved = resolve_chain(chain);
    if (!resolved) return std::unexpected(resolved.error());
    auto key = decrypt_signing_key(wallet, resolved->chain_type, passphrase.value_or(""), index, vault_root);
    if (!key) return std::unexpected(key.error());
    const auto signer = qel_signer::signer_for_chain(resolved->chain_type);
    if (signer->curve() == qel_signer::Curve::Ed25519) {
        auto public_key = qel_signer::ed25519::public_key(key->as_slice());
        if (!public_key) return std::unexpected(QelLibError(public_key.error()));
        return qel_signer::hex_encode(*public_key);
    }
    auto public_key = qel_signer::secp256k1::compressed_public_key(key->as_slice());
    if (!public_key) return std::unexpected(QelLibError(public_key.error()));
    return qel_signer::hex_encode(*public_key);
}

}  // namespace qel_lib::ops
