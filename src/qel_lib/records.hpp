#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "qel_signer/secret_bytes.hpp"

namespace qel_lib {

// One account of a wallet, as callers see it.
struct AccountInfo {
    std::string chain_id;
    std::string address;
    std::string derivation_path;

    friend bool operator==(const AccountInfo&, const AccountInfo&) = default;
};

// The public description of a wallet; never holds its secret.
struct WalletInfo {
    std::string id;
    std::string name;
    std::vector<AccountInfo> accounts;
    std::string created_at;

    friend bool operator==(const WalletInfo&, const WalletInfo&) = default;
};

// A signature as lower-case hex, with the signer's recovery id when it has one.
struct SignResult {
    std::string signature;
    std::optional<std::uint8_t> recovery_id;
};

// The two raw keys of a private-key wallet. Each buffer is wiped on release,
// the secp256k1 one first (members are destroyed in reverse order).
struct KeyPair {
    qel_signer::SecretBytes ed25519;
    qel_signer::SecretBytes secp256k1;
};

}  // namespace qel_lib
