#include "ops.hpp"

#include <array>

#include "key_pair.hpp"
#include "qel_core/chain.hpp"
#include "qel_core/utf8.hpp"
#include "qel_signer/encoding.hpp"
#include "qel_signer/envelope.hpp"
#include "qel_signer/hd.hpp"
#include "qel_signer/random.hpp"
#include "qel_signer/signer.hpp"
#include "text.hpp"
#include "vault.hpp"

namespace qel_lib::ops {

using qel_core::ChainType;
using qel_core::EncryptedWallet;
using qel_core::KeyType;
using qel_core::WalletAccount;
using qel_signer::ByteSpan;
using qel_signer::Bytes;
using qel_signer::Curve;
using qel_signer::HdDeriver;
using qel_signer::Mnemonic;
using qel_signer::SecretBytes;

namespace {

std::expected<std::string, QelLibError> new_wallet_id() {
    auto id = qel_signer::random_uuid();
    if (!id) return std::unexpected(QelLibError::invalid_input("failed to generate wallet id: " + id.error()));
    return std::move(*id);
}

// Encrypts the secret, builds the record and writes it: the common tail of
// every way of adding a wallet. Nothing is written unless all else worked.
std::expected<WalletInfo, QelLibError> seal_and_save(std::string_view name, OptText passphrase,
                                                     std::vector<WalletAccount> accounts, ByteSpan plaintext,
                                                     KeyType key_type, const OptPath& vault_root) {
    auto envelope = qel_signer::crypto::encrypt(plaintext, passphrase.value_or(""));
    if (!envelope) return std::unexpected(envelope.error());
    auto id = new_wallet_id();
    if (!id) return std::unexpected(id.error());
    EncryptedWallet wallet = EncryptedWallet::create(std::move(*id), std::string(name), std::move(accounts),
                                                     envelope->to_json(), key_type);
    // The name was free when the call began, but sealing takes a while and
    // the lock is not held through it: look again under the lock.
    auto lock = vault::lock_for_writing(vault_root);
    if (!lock) return std::unexpected(lock.error());
    if (auto free = check_name_free(name, vault_root); !free) return std::unexpected(free.error());
    if (auto saved = vault::save_encrypted_wallet(wallet, vault_root); !saved) {
        return std::unexpected(saved.error());
    }
    return wallet_to_info(wallet);
}

}  // namespace

std::expected<void, QelLibError> check_name_free(std::string_view name, const OptPath& vault_root) {
    auto exists = vault::wallet_name_exists(name, vault_root);
    if (!exists) return std::unexpected(exists.error());
    if (*exists) return std::unexpected(QelLibError::wallet_name_exists(std::string(name)));
    return {};
}

std::expected<SecretBytes, QelLibError> random_key() {
    Bytes random_bytes(32);
    if (auto r = qel_signer::fill_random(random_bytes); !r) {
        qel_signer::wipe(random_bytes.data(), random_bytes.size());
        return std::unexpected(QelLibError::invalid_input("failed to generate random key: " + r.error()));
    }
    return SecretBytes(std::move(random_bytes));
}

std::expected<WalletInfo, QelLibError> save_key_pair_wallet(std::string_view name, const KeyPair& pair,
                                                           OptText passphrase, const OptPath& vault_root) {
    std::vector<WalletAccount> accounts;
    accounts.reserve(qel_core::UNIVERSAL_ORDER.size());
    for (const ChainType type : qel_core::UNIVERSAL_ORDER) {
        const auto signer = qel_signer::signer_for_chain(type);
        const SecretBytes& key = signer->curve() == Curve::Secp256k1 ? pair.secp256k1 : pair.ed25519;
        auto address = signer->derive_address(key.as_slice());
        if (!address) return std::unexpected(address.error());
        std::string chain_id(qel_core::default_chain_for_type(type).chain_id);
        accounts.push_back(WalletAccount{
            .account_id = chain_id + ":" + *address,
            .address = std::move(*address),
            .chain_id = std::move(chain_id),
            .derivation_path = {},
        });
    }
    const SecretBytes plaintext = key_pair_plaintext(pair);
    return seal_and_save(name, passphrase, std::move(accounts), plaintext.as_slice(), KeyType::PrivateKey,
                         vault_root);
}

std::expected<std::string, QelLibError> generate_mnemonic(std::uint32_t words) {
    if (words != 12 && words != 24) return std::unexpected(QelLibError::invalid_input("words must be 12 or 24"));
    auto mnemonic = Mnemonic::generate(words == 24);
    if (!mnemonic) return std::unexpected(mnemonic.error());
    const SecretBytes phrase = mnemonic->phrase();
    if (!qel_core::is_valid_utf8(as_text(phrase.as_slice()))) {
        return std::unexpected(QelLibError::invalid_input("invalid UTF-8 in mnemonic: invalid utf-8 sequence"));
    }
    return std::string(as_text(phrase.as_slice()));
}

std::expected<std::string, QelLibError> derive_address(std::string_view mnemonic, std::string_view chain,
                                                      OptIndex index) {
    auto resolved = resolve_chain(chain);
    if (!resolved) return std::unexpected(resolved.error());
    auto parsed = Mnemonic::from_phrase(mnemonic);
    if (!parsed) return std::unexpected(parsed.error());
    const auto signer = qel_signer::signer_for_chain(resolved->chain_type);
    const std::string path = signer->default_derivation_path(index.value_or(0));
    auto key = HdDeriver::derive_from_mnemonic(*parsed, "", path, signer->curve());
    if (!key) return std::unexpected(key.error());
    auto address = signer->derive_address(key->as_slice());
    if (!address) return std::unexpected(address.error());
    return std::move(*address);
}

std::expected<std::vector<WalletAccount>, QelLibError> derive_all_accounts(const Mnemonic& mnemonic,
                                                                          std::uint32_t index) {
    // One seed for all six families: it is the costly part of derivation.
    const SecretBytes seed = mnemonic.to_seed("");
    std::vector<WalletAccount> accounts;
    accounts.reserve(qel_core::UNIVERSAL_ORDER.size());
    for (const ChainType type : qel_core::UNIVERSAL_ORDER) {
        const qel_core::Chain chain = qel_core::default_chain_for_type(type);
        const auto signer = qel_signer::signer_for_chain(type);
        std::string path = signer->default_derivation_path(index);
        auto key = HdDeriver::derive(seed.as_slice(), path, signer->curve());
        if (!key) return std::unexpected(key.error());
        auto address = signer->derive_address(key->as_slice());
        if (!address) return std::unexpected(address.error());
        std::string chain_id(chain.chain_id);
        accounts.push_back(WalletAccount{
            .account_id = chain_id + ":" + *address,
            .address = std::move(*address),
            .chain_id = std::move(chain_id),
            .derivation_path = std::move(path),
        });
    }
    return accounts;
}

std::expected<WalletInfo, QelLibError> create_wallet(std::string_view name, OptText passphrase, OptIndex words,
                                                    const OptPath& vault_root) {
    if (words && *words != 12 && *words != 24) {
        return std::unexpected(QelLibError::invalid_input("words must be 12 or 24"));
    }
    if (auto free = check_name_free(name, vault_root); !free) return std::unexpected(free.error());
    auto mnemonic = Mnemonic::generate(words == 24u);
    if (!mnemonic) return std::unexpected(mnemonic.error());
    auto accounts = derive_all_accounts(*mnemonic, 0);
    if (!accounts) return std::unexpected(accounts.error());
    const SecretBytes phrase = mnemonic->phrase();
    return seal_and_save(name, passphrase, std::move(*accounts), phrase.as_slice(), KeyType::Mnemonic, vault_root);
}

std::expected<WalletInfo, QelLibError> import_wallet_mnemonic(std::string_view name, std::string_view mnemonic,
                                                             OptText passphrase, OptIndex index,
                                                             const OptPath& vault_root) {
    if (auto free = check_name_free(name, vault_root); !free) return std::unexpected(free.error());
    auto parsed = Mnemonic::from_phrase(mnemonic);
    if (!parsed) return std::unexpected(parsed.error());
    auto accounts = derive_all_accounts(*parsed, index.value_or(0));
    if (!accounts) return std::unexpected(accounts.error());
    const SecretBytes phrase = parsed->phrase();
    return seal_and_save(name, passphrase, std::move(*accounts), phrase.as_slice(), KeyType::Mnemonic, vault_root);
}

std::expected<WalletInfo, QelLibError> import_wallet_private_key(std::string_view name,
                                                                std::string_view private_key_hex, OptText chain,
                                                                OptText passphrase, const OptPath& vault_root,
                                                                OptText secp256k1_key, OptText ed25519_key) {
    if (auto free = check_name_free(name, vault_root); !free) return std::unexpected(free.error());

    KeyPair pair;
    if (secp256k1_key && ed25519_key) {
        auto secp = decode_hex_key(*secp256k1_key);
        if (!secp) return std::unexpected(secp.error());
        auto ed = decode_hex_key(*ed25519_key);
        if (!ed) return std::unexpected(ed.error());
        pair.secp256k1 = std::move(*secp);
        pair.ed25519 = std::move(*ed);
    } else {
        auto given = decode_hex_key(private_key_hex);
        if (!given) return std::unexpected(given.error());
        Curve curve = Curve::Secp256k1;
        if (chain) {
            auto resolved = resolve_chain(*chain);
            if (!resolved) return std::unexpected(resolved.error());
            curve = qel_signer::signer_for_chain(resolved->chain_type)->curve();
        }
        auto random = random_key();
        if (!random) return std::unexpected(random.error());
        const OptText other_hex = curve == Curve::Secp256k1 ? ed25519_key : secp256k1_key;
        SecretBytes other;
        if (other_hex) {
            auto decoded = decode_hex_key(*other_hex);
            if (!decoded) return std::unexpected(decoded.error());
            other = std::move(*decoded);
        } else {
            other = std::move(*random);
        }
        if (curve == Curve::Secp256k1) {
            pair.secp256k1 = std::move(*given);
            pair.ed25519 = std::move(other);
        } else {
            pair.ed25519 = std::move(*given);
            pair.secp256k1 = std::move(other);
        }
    }

    return save_key_pair_wallet(name, pair, passphrase, vault_root);
}

std::expected<SecretBytes, QelLibError> decode_hex_key(std::string_view text) {
    auto decoded = qel_signer::hex_decode(strip_0x(text));
    if (!decoded) return std::unexpected(QelLibError::invalid_input("invalid hex private key: " + decoded.error()));
    return SecretBytes(std::move(*decoded));
}

WalletInfo wallet_to_info(const EncryptedWallet& wallet) {
    WalletInfo info{.id = wallet.id, .name = wallet.name, .accounts = {}, .created_at = wallet.created_at};
    info.accounts.reserve(wallet.accounts.size());
    for (const WalletAccount& account : wallet.accounts) {
        info.accounts.push_back(AccountInfo{
            .chain_id = account.chain_id,
            .address = account.address,
            .derivation_path = account.derivation_path,
        });
    }
    return info;
}

WalletInfo wallet_to_info(EncryptedWallet&& wallet) {
    WalletInfo info{
        .id = std::move(wallet.id), .name = std::move(wallet.name), .accounts = {},
        .created_at = std::move(wallet.created_at)};
    info.accounts.reserve(wallet.accounts.size());
    for (WalletAccount& account : wallet.accounts) {
        info.accounts.push_back(AccountInfo{
            .chain_id = std::move(account.chain_id),
            .address = std::move(account.address),
            .derivation_path = std::move(account.derivation_path),
        });
    }
    return info;
}

std::expected<std::vector<WalletInfo>, QelLibError> list_wallets(const OptPath& vault_root) {
    // Built from each file's public part as it is read: the envelopes are
    // never copied out of the parser.
    std::vector<WalletInfo> infos;
    auto listed = visit_wallets(vault_root, [&infos](const qel_core::WalletFileView& wallet) {
        WalletInfo& info = infos.emplace_back(WalletInfo{.id = std::string(wallet.id),
                                                         .name = std::string(wallet.name),
                                                         .accounts = {},
                                                         .created_at = std::string(wallet.created_at)});
        info.accounts.reserve(wallet.accounts.size());
        for (const qel_core::WalletAccountView& account : wallet.accounts) {
            info.accounts.push_back(AccountInfo{.chain_id = std::string(account.chain_id),
                                                .address = std::string(account.address),
                                                .derivation_path = std::string(account.derivation_path)});
        }
    });
    if (!listed) return std::unexpected(listed.error());
    vault::sort_newest_first(infos);
    return infos;
}

std::expected<void, QelLibError> visit_wallets(const OptPath& vault_root,
                                               const std::function<void(const qel_core::WalletFileView&)>& take) {
    return vault::visit_wallets(vault_root, take);
}

std::expected<WalletInfo, QelLibError> get_wallet(std::string_view name_or_id, const OptPath& vault_root) {
    auto wallet = vault::load_wallet_by_name_or_id(name_or_id, vault_root);
    if (!wallet) return std::unexpected(wallet.error());
    return wallet_to_info(std::move(*wallet));
}

std::expected<void, QelLibError> delete_wallet(std::string_view name_or_id, const OptPath& vault_root) {
    auto lock = vault::lock_for_writing(vault_root);
    if (!lock) return std::unexpected(lock.error());
    auto wallet = vault::load_wallet_by_name_or_id(name_or_id, vault_root);
    if (!wallet) return std::unexpected(wallet.error());
    return vault::delete_wallet_file(wallet->id, vault_root);
}

std::expected<void, QelLibError> rename_wallet(std::string_view name_or_id, std::string_view new_name,
                                              const OptPath& vault_root) {
    // Held from finding the wallet to saving it: the name must still be free
    // and the wallet still there when the new record is written.
    auto lock = vault::lock_for_writing(vault_root);
    if (!lock) return std::unexpected(lock.error());
    auto wallet = vault::load_wallet_by_name_or_id(name_or_id, vault_root);
    if (!wallet) return std::unexpected(wallet.error());
    if (wallet->name == new_name) return {};
    if (auto free = check_name_free(new_name, vault_root); !free) return std::unexpected(free.error());
    wallet->name = std::string(new_name);
    return vault::save_encrypted_wallet(*wallet, vault_root);
}

std::expected<std::string, QelLibError> export_wallet(std::string_view name_or_id, OptText passphrase,
                                                     const OptPath& vault_root) {
    auto wallet = vault::load_wallet_by_name_or_id(name_or_id, vault_root);
    if (!wallet) return std::unexpected(wallet.error());
    auto envelope = qel_signer::crypto::CryptoEnvelope::from_json(wallet->crypto);
    if (!envelope) return std::unexpected(QelLibError::json(envelope.error()));
    auto plaintext = qel_signer::crypto::decrypt(*envelope, passphrase.value_or(""));
    if (!plaintext) return std::unexpected(plaintext.error());
    if (!qel_core::is_valid_utf8(as_text(plaintext->as_slice()))) {
        return std::unexpected(QelLibError::invalid_input(wallet->key_type == KeyType::PrivateKey
                                                              ? "wallet contains invalid key data"
                                                              : "wallet contains invalid UTF-8 mnemonic"));
    }
    return std::string(as_text(plaintext->as_slice()));
}

}  // namespace qel_lib::ops
