#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "chain.hpp"
#include "padded_text.hpp"

namespace qel_core {

// The kind of secret a wallet's envelope holds: "mnemonic" or "private_key".
enum class KeyType : std::uint8_t { Mnemonic, PrivateKey };

// One account of a wallet file.
struct WalletAccount {
    std::string account_id;  // CAIP-10: chain_id ":" address
    std::string address;
    std::string chain_id;  // CAIP-2
    std::string derivation_path;  // empty for private-key wallets

    friend bool operator==(const WalletAccount&, const WalletAccount&) = default;
};

// One wallet file in memory. Holds no plain secret: the secret lives only
// inside the encrypted envelope `crypto`.
struct EncryptedWallet {
    std::uint32_t qel_version = 2;
    std::string id;
    std::string name;
    std::string created_at;
    std::optional<ChainType> chain_type;
    std::vector<WalletAccount> accounts;
    nlohmann::json crypto;
    KeyType key_type = KeyType::Mnemonic;
    nlohmann::json metadata;  // null when absent

    // A new record stamped with the current UTC time, format version 2, no
    // chain type and null metadata.
    [[nodiscard]] static EncryptedWallet create(std::string id, std::string name, std::vector<WalletAccount> accounts,
                                                nlohmann::json crypto, KeyType key_type);

    // The exact file text: members in declaration order, "chain_type" only
    // when present, "metadata" only when not null, two-space layout, generic
    // values with members sorted by name, no trailing newline.
    [[nodiscard]] std::string to_file_text() const;

    // Parses file text. Unknown members are ignored; missing required or
    // duplicate members, wrong types and unknown key/chain type names fail
    // with the reader's text.
    [[nodiscard]] static std::expected<EncryptedWallet, std::string> from_file_text(std::string_view text);
};

// The public part of a wallet file (all but its envelope and metadata) as
// views into the text a WalletFileReader parsed: valid until its next read.
struct WalletAccountView {
    std::string_view account_id;
    std::string_view address;
    std::string_view chain_id;
    std::string_view derivation_path;
};
struct WalletFileView {
    std::uint32_t qel_version = 2;
    std::string_view id;
    std::string_view name;
    std::string_view created_at;
    std::optional<ChainType> chain_type;
    std::span<const WalletAccountView> accounts;
    KeyType key_type = KeyType::Mnemonic;
};

// Reads wallet files one after another with one JSON parser and one text
// buffer, both reused: a listing reads thousands of files.
class WalletFileReader {
public:
    WalletFileReader();
    ~WalletFileReader();
    WalletFileReader(const WalletFileReader&) = delete;
    WalletFileReader& operator=(const WalletFileReader&) = delete;

    // The buffer to read the next file's text into.
    [[nodiscard]] PaddedText& buffer() noexcept;
    // Parses the buffer's text as EncryptedWallet::from_file_text does.
    [[nodiscard]] std::expected<EncryptedWallet, std::string> read();
    // The same checks, the same errors, but only views of the public part
    // are kept: nothing is copied and no generic value is built.
    [[nodiscard]] std::expected<WalletFileView, std::string> read_public();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// RFC 3339 UTC text with "+00:00" and a 0/3/6/9-digit fraction as described
// for "created_at".
[[nodiscard]] std::string format_created_at(std::chrono::system_clock::time_point when);

}  // namespace qel_core
