#include "error.hpp"

#include "qel_core/os_error.hpp"
#include "qel_core/shown.hpp"

namespace qel_lib {

QelLibError QelLibError::wallet_not_found(std::string name_or_id) {
    return {Kind::WalletNotFound, std::move(name_or_id)};
}

QelLibError QelLibError::ambiguous_wallet(std::string name, std::uint64_t count) {
    QelLibError e{Kind::AmbiguousWallet, std::move(name)};
    e.count_ = count;
    return e;
}

QelLibError QelLibError::wallet_name_exists(std::string name) {
    return {Kind::WalletNameExists, std::move(name)};
}

QelLibError QelLibError::invalid_input(std::string message) {
    return {Kind::InvalidInput, std::move(message)};
}

QelLibError QelLibError::broadcast_failed(std::string message) {
    return {Kind::BroadcastFailed, std::move(message)};
}

QelLibError QelLibError::io_errno(int err) {
    return {Kind::Io, qel_core::os_error_text(err)};
}

QelLibError QelLibError::io(std::string message) {
    return {Kind::Io, std::move(message)};
}

QelLibError QelLibError::json(std::string message) {
    return {Kind::Json, std::move(message)};
}

QelLibError QelLibError::interrupted() {
    return {Kind::Interrupted, {}};
}

QelLibError::QelLibError(qel_signer::crypto::CryptoError e) : kind_(Kind::Crypto), inner_(std::move(e)) {}
QelLibError::QelLibError(qel_signer::SignerError e) : kind_(Kind::Signer), inner_(std::move(e)) {}
QelLibError::QelLibError(qel_signer::MnemonicError e) : kind_(Kind::Mnemonic), inner_(std::move(e)) {}
QelLibError::QelLibError(qel_signer::HdError e) : kind_(Kind::Hd), inner_(std::move(e)) {}
QelLibError::QelLibError(qel_core::QelError e) : kind_(Kind::Core), inner_(std::move(e)) {}

std::string QelLibError::message() const {
    switch (kind_) {
        // Names and IDs come from the caller or a wallet file: quoted escaped and cut short.
        case Kind::WalletNotFound: return "wallet not found: '" + qel_core::shown(text_) + "'";
        case Kind::AmbiguousWallet:
            return "ambiguous wallet name '" + qel_core::shown(text_) + "' matches " + std::to_string(count_) +
                   " wallets; use the wallet ID instead";
        case Kind::WalletNameExists: return "wallet name already exists: '" + qel_core::shown(text_) + "'";
        case Kind::InvalidInput: return "invalid input: " + text_;
        case Kind::BroadcastFailed: return "broadcast failed: " + text_;
        case Kind::Crypto:
        case Kind::Signer:
        case Kind::Mnemonic:
        case Kind::Hd:
        case Kind::Core:
            return std::visit(
                [](const auto& inner) -> std::string {
                    if constexpr (std::is_same_v<std::decay_t<decltype(inner)>, std::monostate>) {
                        return {};
                    } else {
                        return inner.message();
                    }
                },
                inner_);
        case Kind::Io: return "I/O error: " + text_;
        case Kind::Json: return "JSON error: " + text_;
        case Kind::Interrupted: return "interrupted";
    }
    return {};
}

}  // namespace qel_lib
