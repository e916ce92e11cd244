// Moving an EVM key in and out of the encrypted keystore files that Ethereum
// tools exchange.

#include "ops.hpp"
#include "qel_signer/keystore.hpp"

namespace qel_lib::ops {

std::expected<WalletInfo, QelLibError> import_wallet_keystore(std::string_view name, std::string_view keystore_json,
                                                             std::string_view keystore_password, OptText passphrase,
                                                             const OptPath& vault_root) {
    if (auto free = check_name_free(name, vault_root); !free) return std::unexpected(free.error());
    auto keystore = qel_signer::keystore::parse(keystore_json);
    if (!keystore) return std::unexpected(QelLibError::invalid_input("invalid keystore: " + keystore.error()));
    auto key = qel_signer::keystore::decrypt(*keystore, keystore_password);
    if (!key) return std::unexpected(key.error());
    auto random = random_key();
    if (!random) return std::unexpected(random.error());
    KeyPair pair;
    pair.secp256k1 = std::move(*key);
    pair.ed25519 = std::move(*random);
    return save_key_pair_wallet(name, pair, passphrase, vault_root);
}

std::expected<std::string, QelLibError> export_wallet_keystore(std::string_view name_or_id, OptText passphrase,
                                                              OptText keystore_password, OptIndex index,
                                                              const OptPath& vault_root) {
    const std::string_view unlock = passphrase.value_or("");
    auto key = decrypt_signing_key(name_or_id, qel_core::ChainType::Evm, unlock, index, vault_root);
    if (!key) return std::unexpected(key.error());
    auto text = qel_signer::keystore::encrypt(key->as_slice(), keystore_password.value_or(unlock));
    if (!text) return std::unexpected(text.error());
    return std::move(*text);
}

}  // namespace qel_lib::ops
