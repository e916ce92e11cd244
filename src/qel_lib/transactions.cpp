// sign_and_encode and sign_authorization: each family's unsigned form read
// and checked before the wallet is opened, then signed by the family's
// signer and written as its broadcast API takes it.

#include "transactions.hpp"

#include <algorithm>
#include <cctype>
#include <functional>

#include "qel_core/shown.hpp"
#include "qel_signer/chains/bitcoin/signing.hpp"
#include "qel_signer/chains/cosmos/sign_doc.hpp"
#include "qel_signer/chains/evm.hpp"
#include "qel_signer/chains/evm_transaction.hpp"
#include "qel_signer/chains/solana.hpp"
#include "qel_signer/chains/ton/wallet_v5.hpp"
#include "qel_signer/chains/tron/transaction.hpp"
#include "qel_signer/ed25519.hpp"
#include "qel_signer/encoding.hpp"
#include "qel_signer/secp256k1.hpp"
#include "text.hpp"

namespace qel_lib::ops {

using qel_core::ChainType;
using qel_signer::ByteSpan;
using qel_signer::Bytes;
using qel_signer::SignedTransaction;
using qel_signer::SignerError;

namespace {

// What a family's reader leaves for after unlocking: the signing itself and
// how its result is written.
struct Prepared {
    std::function<std::expected<SignedTransaction, SignerError>(ByteSpan key)> sign;
    std::function<EncodedTransaction(const SignedTransaction&)> format;
};

QelLibError malformed(std::string_view why) { return QelLibError::invalid_input("transaction: " + std::string(why)); }


std::expected<Prepared, QelLibError> prepare_evm(const TargetChain& chain, Bytes tx) {
    auto parsed = qel_signer::chains::evm::read_transaction(tx);
    if (!parsed) return std::unexpected(malformed(parsed.error()));
    if (parsed->chain_id != *chain.evm_chain_id) {
        return std::unexpected(chain_id_mismatch(parsed->chain_id, chain.name, *chain.evm_chain_id));
    }
    // The parsed fields view `tx`: both move into the closure together.
    auto shared = std::make_shared<std::pair<Bytes, qel_signer::chains::evm::UnsignedTransaction>>(std::move(tx),
                                                                                                 std::move(*parsed));
    return Prepared{
        .sign = [shared](ByteSpan key) { return qel_signer::chains::evm::sign_transaction(key, shared->first, shared->second); },
        .format =
            [](const SignedTransaction& s) {
                return EncodedTransaction{"0x" + qel_signer::hex_encode(s.wire), "0x" + qel_signer::hex_encode(s.hash)};
            },
    };
}

std::expected<Prepared, QelLibError> prepare_solana(Bytes tx) {
    namespace solana = qel_signer::chains::solana;
    if (auto ok = solana::check_transaction(tx); !ok) return std::unexpected(malformed(ok.error()));
    auto shared = std::make_shared<Bytes>(std::move(tx));
    return Prepared{
        // The account signs in its own slot, which is slot 0 when it pays the
        // fee; a co-signer's transaction keeps the fee payer's slot as given.
        .sign = [shared](ByteSpan key) -> std::expected<SignedTransaction, SignerError> {
            const auto public_key = qel_signer::ed25519::public_key(key);
            if (!public_key) return std::unexpected(public_key.error());
            const auto slot = solana::signer_slot(*shared, *public_key);
            if (!slot) return std::unexpected(SignerError{SignerError::Kind::InvalidTransaction, std::string(slot.error())});
            const qel_signer::chains::SolanaSigner signer;
            auto message = signer.extract_signable_bytes(*shared);
            if (!message) return std::unexpected(message.error());
            auto output = signer.sign_transaction(key, *message);
            if (!output) return std::unexpected(output.error());
            Bytes wire = *shared;
            std::ranges::copy(output->signature, wire.begin() + 1 + 64 * static_cast<std::ptrdiff_t>(*slot));
            // The transaction's id is its first signature (the fee payer's).
            Bytes hash(wire.begin() + 1, wire.begin() + 65);
            return SignedTransaction{std::move(wire), std::move(hash)};
        },
        .format =
            [](const SignedTransaction& s) {
                return EncodedTransaction{qel_signer::base64_encode(s.wire), qel_signer::base58_encode(s.hash)};
            },
    };
}

std::expected<Prepared, QelLibError> prepare_tron(Bytes raw_data) {
    if (auto ok = qel_signer::chains::tron::read_raw_data(raw_data); !ok) return std::unexpected(malformed(ok.error()));
    auto shared = std::make_shared<Bytes>(std::move(raw_data));
    return Prepared{
        .sign = [shared](ByteSpan key) { return qel_signer::chains::tron::sign_raw_data(key, *shared); },
        .format =
            [](const SignedTransaction& s) {
                return EncodedTransaction{qel_signer::hex_encode(s.wire), qel_signer::hex_encode(s.hash)};
            },
    };
}

std::expected<Prepared, QelLibError> prepare_cosmos(const TargetChain& chain, Bytes sign_doc) {
    auto read = qel_signer::chains::cosmos::read_sign_doc(sign_doc);
    if (!read) return std::unexpected(malformed(read.error()));
    const std::string_view own = std::string_view(chain.chain_id).substr(chain.chain_id.find(':') + 1);
    if (read->chain_id != own) {
        return std::unexpected(chain_id_mismatch("transaction: chain id", "'" + qel_core::shown(read->chain_id) + "'",
                                                 chain.name, own));
    }
    // The views of `read` point into the SignDoc bytes: both move together.
    auto shared = std::make_shared<std::pair<Bytes, qel_signer::chains::cosmos::SignDoc>>(std::move(sign_doc),
                                                                                         std::move(*read));
    return Prepared{
        .sign = [shared](ByteSpan key) { return qel_signer::chains::cosmos::sign_sign_doc(key, shared->first, shared->second); },
        .format =
            [](const SignedTransaction& s) {
                std::string hash = qel_signer::hex_encode(s.hash);
                for (char& c : hash) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
                return EncodedTransaction{qel_signer::base64_encode(s.wire), hash};
            },
    };
}

std::expected<Prepared, QelLibError> prepare_bitcoin(Bytes psbt_bytes) {
    namespace btc = qel_signer::chains::bitcoin;
    auto psbt = btc::read_psbt(psbt_bytes);
    if (!psbt) return std::unexpected(malformed(psbt.error()));
    if (auto ok = btc::check_signable(*psbt); !ok) return std::unexpected(malformed(ok.error()));
    // The transaction's views point into the PSBT bytes: both move together.
    auto shared = std::make_shared<std::pair<Bytes, btc::Psbt>>(std::move(psbt_bytes), std::move(*psbt));
    return Prepared{
        .sign = [shared](ByteSpan key) { return btc::sign_psbt(key, shared->second); },
        .format =
            [](const SignedTransaction& s) {
                return EncodedTransaction{qel_signer::hex_encode(s.wire), qel_signer::hex_encode(s.hash)};
            },
    };
}

std::expected<Prepared, QelLibError> prepare_ton(const Bytes& boc) {
    auto message = qel_signer::chains::ton::read_signing_message(boc);
    if (!message) return std::unexpected(malformed(message.error()));
    auto shared = std::make_shared<qel_signer::chains::ton::SigningMessage>(std::move(*message));
    return Prepared{
        .sign = [shared](ByteSpan key) { return qel_signer::chains::ton::sign_external(key, *shared); },
        .format =
            [](const SignedTransaction& s) {
                return EncodedTransaction{qel_signer::base64_encode(s.wire), qel_signer::hex_encode(s.hash)};
            },
    };
}

std::expected<Prepared, QelLibError> prepare(const TargetChain& chain, std::string_view unsigned_tx) {
    auto tx = decode_unsigned_transaction(chain.chain_type, unsigned_tx);
    if (!tx) return std::unexpected(tx.error());
    switch (chain.chain_type) {
        case ChainType::Evm: return prepare_evm(chain, std::move(*tx));
        case ChainType::Solana: return prepare_solana(std::move(*tx));
        case ChainType::Tron: return prepare_tron(std::move(*tx));
        case ChainType::Cosmos: return prepare_cosmos(chain, std::move(*tx));
        case ChainType::Bitcoin: return prepare_bitcoin(std::move(*tx));
        case ChainType::Ton: return prepare_ton(*tx);
    }
    return std::unexpected(QelLibError::invalid_input("unknown chain family"));
}

}  // namespace

std::expected<Bytes, QelLibError> decode_unsigned_transaction(ChainType family, std::string_view text) {
    // PSBTs and TON messages travel as base64 too; text that is not all hex
    // digits is read as base64 for those families.
    const bool base64 = (family == ChainType::Bitcoin || family == ChainType::Ton) &&
                        strip_0x(text).find_first_not_of("0123456789abcdefABCDEF") != std::string_view::npos;
    return decode_transaction_text(text, base64);
}

std::expected<Bytes, QelLibError> decode_transaction_text(std::string_view text, bool base64) {
    auto bytes = base64 ? qel_signer::base64_decode(text) : qel_signer::hex_decode(strip_0x(text));
    if (!bytes) {
        return std::unexpected(QelLibError::invalid_input(std::string(base64 ? "invalid base64" : "invalid hex") +
                                                          " transaction: " + bytes.error()));
    }
    return std::move(*bytes);
}

QelLibError chain_id_mismatch(std::uint64_t given, std::string_view chain_name, std::uint64_t own) {
    return chain_id_mismatch("transaction: chain id", std::to_string(given), chain_name, std::to_string(own));
}

QelLibError chain_id_mismatch(std::string_view what, std::string_view given, std::string_view chain_name,
                              std::string_view own) {
    return QelLibError::invalid_input(std::string(what) + " " + std::string(given) + " is not the chain id of " +
                                      std::string(chain_name) + " (" + std::string(own) + ")");
}

std::expected<void, QelLibError> check_typed_chain_id(std::string_view chain, ByteSpan tx) {
    const auto target = resolve_target_chain(chain);
    if (!target) return std::unexpected(target.error());
    const auto given = qel_signer::chains::evm::typed_chain_id(tx);
    if (!given) return std::unexpected(QelLibError::invalid_input("invalid hex transaction: " + given.error()));
    if (*given != *target->evm_chain_id) return std::unexpected(chain_id_mismatch(*given, target->name, *target->evm_chain_id));
    return {};
}

std::expected<TargetChain, QelLibError> resolve_target_chain(std::string_view chain) {
    if (const auto known = qel_core::parse_chain(chain)) {
        TargetChain out{std::string(known->name), std::string(known->chain_id), known->chain_type, std::nullopt};
        if (known->chain_type == ChainType::Evm) out.evm_chain_id = qel_core::eip155_number(known->chain_id);
        return out;
    }
    if (const auto n = qel_core::eip155_number(chain)) {
        return TargetChain{std::string(chain), std::string(chain), ChainType::Evm, *n};
    }
    return std::unexpected(resolve_chain(chain).error());
}

std::expected<EncodedTransaction, QelLibError> sign_and_encode(std::string_view wallet, std::string_view chain,
                                                               std::string_view unsigned_tx, OptText passphrase,
                                                               OptIndex index, const OptPath& vault_root) {
    auto target = resolve_target_chain(chain);
    if (!target) return std::unexpected(target.error());
    auto prepared = prepare(*target, unsigned_tx);
    if (!prepared) return std::unexpected(prepared.error());
    auto key = decrypt_signing_key(wallet, target->chain_type, passphrase.value_or(""), index, vault_root);
    if (!key) return std::unexpected(key.error());
    auto signed_tx = prepared->sign(key->as_slice());
    if (!signed_tx) return std::unexpected(signed_tx.error());
    return prepared->format(*signed_tx);
}

std::expected<SignedAuthorization, QelLibError> sign_authorization(std::string_view wallet, std::uint64_t chain_id,
                                                                   std::string_view address, std::uint64_t nonce,
                                                                   OptText passphrase, OptIndex index,
                                                                   const OptPath& vault_root) {
    auto account = qel_signer::hex_decode(strip_0x(address));
    if (!account) return std::unexpected(QelLibError::invalid_input("invalid hex address: " + account.error()));
    if (account->size() != 20) {
        return std::unexpected(QelLibError::invalid_input("invalid address: expected 20 bytes, got " +
                                                          std::to_string(account->size())));
    }
    const std::span<const std::uint8_t, 20> account20(account->data(), 20);
    const auto digest = qel_signer::chains::evm::authorization_digest(chain_id, account20, nonce);
    auto key = decrypt_signing_key(wallet, ChainType::Evm, passphrase.value_or(""), index, vault_root);
    if (!key) return std::unexpected(key.error());
    auto output = qel_signer::secp256k1::sign_digest(key->as_slice(), digest, "prehash");
    if (!output) return std::unexpected(output.error());
    const ByteSpan sig(output->signature);
    return SignedAuthorization{
        .chain_id = chain_id,
        .address = qel_signer::chains::evm::checksum_address(account20),
        .nonce = nonce,
        .y_parity = static_cast<std::uint8_t>(sig[64] & 1),
        .r = qel_signer::hex_encode(sig.subspan(0, 32)),
        .s = qel_signer::hex_encode(sig.subspan(32, 32)),
    };
}

}  // namespace qel_lib::ops
