// Changing the passphrase that seals a stored wallet's secret.

#include "ops.hpp"
#include "qel_signer/envelope.hpp"
#include "vault.hpp"

namespace qel_lib::ops {

std::expected<WalletInfo, QelLibError> change_passphrase(std::string_view name_or_id, std::string_view old_passphrase,
                                                        std::string_view new_passphrase, const OptPath& vault_root) {
    auto wallet = vault::load_wallet_by_name_or_id(name_or_id, vault_root);
    if (!wallet) return std::unexpected(wallet.error());
    auto envelope = qel_signer::crypto::CryptoEnvelope::from_json(wallet->crypto);
    if (!envelope) return std::unexpected(QelLibError::json(envelope.error()));
    auto plaintext = qel_signer::crypto::decrypt(*envelope, old_passphrase);
    if (!plaintext) return std::unexpected(plaintext.error());
    // Whatever the old file carried, the new one gets today's parameters.
    auto sealed = qel_signer::crypto::encrypt(plaintext->as_slice(), new_passphrase);
    plaintext->release();
    if (!sealed) return std::unexpected(sealed.error());

    // The two key stretchings take a while and the writer lock is not held
    // through them: under the lock, the wallet must still hold the envelope
    // that was opened, or another writer changed its secret meanwhile. Other
    // changes made meanwhile (a new name) are kept.
    auto lock = vault::lock_for_writing(vault_root);
    if (!lock) return std::unexpected(lock.error());
    auto current = vault::load_wallet_by_name_or_id(wallet->id, vault_root);
    if (!current) return std::unexpected(current.error());
    if (current->crypto != wallet->crypto) {
        return std::unexpected(QelLibError::invalid_input(
            "the wallet's secret was changed by another process meanwhile; nothing was written"));
    }
    current->crypto = sealed->to_json();
    // The vault's save writes a temporary file and renames it over the old
    // one: a crash leaves either the old or the new envelope, never a mix.
    if (auto saved = vault::save_encrypted_wallet(*current, vault_root); !saved) return std::unexpected(saved.error());
    return wallet_to_info(std::move(*current));
}

}  // namespace qel_lib::ops
