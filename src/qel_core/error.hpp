#pragma once

#include <string>

namespace qel_core {

// The core error type. No core function produces it today; the operations'
// error wraps it so that callers see one message type for every layer.
struct QelError {
    enum class Kind { WalletNotFound, ChainNotSupported, InvalidPassphrase, InvalidInput, CaipParse };

    Kind kind;
    std::string text;  // unused for InvalidPassphrase

    [[nodiscard]] std::string message() const;
};

}  // namespace qel_core
