// Signing EIP-712 typed data with a stored wallet's EVM key.

#include "ops.hpp"
#include "transactions.hpp"
#include "qel_signer/chains/evm.hpp"
#include "qel_signer/chains/evm_typed_data.hpp"
#include "qel_signer/encoding.hpp"

namespace qel_lib::ops {

std::expected<SignResult, QelLibError> sign_typed_data(std::string_view wallet, std::string_view chain,
                                                      std::string_view typed_data_json, OptText passphrase,
                                                      OptIndex index, const OptPath& vault_root) {
    // Any EVM chain, "eip155:<N>" included, as for the transaction functions.
    auto resolved = resolve_target_chain(chain);
    if (!resolved) return std::unexpected(resolved.error());
    if (resolved->chain_type != qel_core::ChainType::Evm) {
        return std::unexpected(QelLibError::invalid_input("typed data (EIP-712) is signed on EVM chains only, not " +
                                                          std::string(resolved->name)));
    }
    // Refused before anything is read, with the text of its own.
    if (typed_data_json.size() > qel_signer::chains::evm::kMaxTypedDataBytes) {
        return std::unexpected(
            QelLibError::invalid_input(std::string(qel_signer::chains::evm::kTypedDataTooLarge)));
    }
    auto hashes = qel_signer::chains::evm::hash_typed_data(typed_data_json);
    if (!hashes) return std::unexpected(QelLibError::invalid_input("typed data: " + hashes.error()));
    // A signature for another network could be replayed there; wallets
    // refuse to sign one for a chain other than the one the user chose.
    if (hashes->chain_id) {
        const std::string own = std::to_string(*resolved->evm_chain_id);
        if (*hashes->chain_id != own) {
            return std::unexpected(chain_id_mismatch("typed data: domain.chainId", *hashes->chain_id, resolved->name, own));
        }
    }
    auto key = decrypt_signing_key(wallet, qel_core::ChainType::Evm, passphrase.value_or(""), index, vault_root);
    if (!key) return std::unexpected(key.error());
    auto output = qel_signer::chains::evm::sign_digest_v27(key->as_slice(), hashes->digest);
    if (!output) return std::unexpected(output.error());
    return SignResult{.signature = qel_signer::hex_encode(output->signature), .recovery_id = output->recovery_id};
}

}  // namespace qel_lib::ops
