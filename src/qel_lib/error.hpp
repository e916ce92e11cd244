#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "qel_core/error.hpp"
#include "qel_signer/envelope.hpp"
#include "qel_signer/hd.hpp"
#include "qel_signer/mnemonic.hpp"
#include "qel_signer/signer.hpp"

namespace qel_lib {

// The one error of every wallet operation. Variants that carry a lower
// layer's error display exactly that error's text.
class QelLibError {
public:
    enum class Kind {
        WalletNotFound,
        AmbiguousWallet,
        WalletNameExists,
        InvalidInput,
        BroadcastFailed,
        Crypto,
        Signer,
        Mnemonic,
        Hd,
        Core,
        Io,
        Json,
        // The caller asked a waiting operation to stop (see ops::StopRequested).
        Interrupted,
    };

    [[nodiscard]] static QelLibError wallet_not_found(std::string name_or_id);
    [[nodiscard]] static QelLibError ambiguous_wallet(std::string name, std::uint64_t count);
    [[nodiscard]] static QelLibError wallet_name_exists(std::string name);
    [[nodiscard]] static QelLibError invalid_input(std::string message);
    [[nodiscard]] static QelLibError broadcast_failed(std::string message);
    // An I/O error: either an OS error number (shown as "<description> (os
    // error N)") or a message of its own.
    [[nodiscard]] static QelLibError io_errno(int err);
    [[nodiscard]] static QelLibError io(std::string message);
    [[nodiscard]] static QelLibError json(std::string message);
    [[nodiscard]] static QelLibError interrupted();

    QelLibError(qel_signer::crypto::CryptoError e);  // NOLINT: implicit wrapping, like `?` conversions
    QelLibError(qel_signer::SignerError e);          // NOLINT
    QelLibError(qel_signer::MnemonicError e);        // NOLINT
    QelLibError(qel_signer::HdError e);              // NOLINT
    QelLibError(qel_core::QelError e);               // NOLINT

    [[nodiscard]] Kind kind() const noexcept { return kind_; }
    // The display text that Python users see as the RuntimeError message.
    [[nodiscard]] std::string message() const;
    // The text carried (name, message, ...) for the variants with a text.
    [[nodiscard]] const std::string& text() const noexcept { return text_; }
    [[nodiscard]] std::uint64_t count() const noexcept { return count_; }

private:
    QelLibError(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}

    Kind kind_;
    std::string text_;
    std::uint64_t count_ = 0;
    std::variant<std::monostate, qel_signer::crypto::CryptoError, qel_signer::SignerError, qel_signer::MnemonicError,
                 qel_signer::HdError, qel_core::QelError>
        inner_;
};

}  // namespace qel_lib
