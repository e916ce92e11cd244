#pragma once

#include <algorithm>
#include <expected>
#include <span>
#include <string>

#include "qel_signer/hash.hpp"
#include "qel_signer/signer.hpp"

namespace qel_signer::chains {

// The steps of the address, exposed so that each can be checked on its own.
namespace ton {
// The v5r1 wallet id of this library's accounts: mainnet, base workchain,
// version 0, subwallet 0.
inline constexpr std::uint32_t kWalletId = 0x7fffff11;

// Hash of the v5r1 wallet data cell (fresh wallet, no extensions) of a key.
[[nodiscard]] Hash32 wallet_data_cell_hash(std::span<const std::uint8_t, 32> public_key);
// Hash of the StateInit cell with the v5r1 code and the given data cell:
// the account id in the base workchain.
[[nodiscard]] Hash32 state_init_hash(std::span<const std::uint8_t, 32> data_cell_hash);

// An account as any address form names it.
struct Account {
    int workchain;
    Hash32 account_id;
    friend bool operator==(const Account&, const Account&) = default;
};
// Reads a user-friendly address (48 characters of URL-safe or standard
// base64, any flags, checked CRC) or a raw one ("<workchain>:<64 hex
// digits>"). Fails with the reason.
[[nodiscard]] std::expected<Account, std::string> parse_address(std::string_view text);
// The mainnet user-friendly form (48 characters), bounceable or not.
[[nodiscard]] std::string friendly_address(const Account& account, bool bounceable);
// The non-bounceable form of a base-workchain account, as wallets show their own.
[[nodiscard]] inline std::string friendly_address(std::span<const std::uint8_t, 32> account_id) {
    Account account{0, {}};
    std::copy(account_id.begin(), account_id.end(), account.account_id.begin());
    return friendly_address(account, false);
}
}  // namespace ton

// TON: v5r1 wallet-contract addresses (non-bounceable, mainnet, base
// workchain); Ed25519 over the bytes as given.
class TonSigner final : public ChainSigner {
public:
    [[nodiscard]] qel_core::ChainType chain_type() const override { return qel_core::ChainType::Ton; }
    [[nodiscard]] Curve curve() const override { return Curve::Ed25519; }
    [[nodiscard]] std::uint32_t coin_type() const override { return 607; }
    [[nodiscard]] std::expected<std::string, SignerError> derive_address(ByteSpan key) const override;
    [[nodiscard]] std::expected<SignOutput, SignerError> sign(ByteSpan key, ByteSpan message) const override;
    [[nodiscard]] std::expected<SignOutput, SignerError> sign_message(ByteSpan key, ByteSpan message) const override;
    [[nodiscard]] std::expected<SignOutput, SignerError> sign_transaction(ByteSpan key, ByteSpan tx) const override;
    [[nodiscard]] std::string default_derivation_path(std::uint32_t index) const override;
    [[nodiscard]] std::expected<std::string, SignerError> address_of_public_key(ByteSpan public_key) const override;
};

}  // namespace qel_signer::chains
