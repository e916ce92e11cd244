#include "error.hpp"

namespace qel_core {

std::string QelError::message() const {
    switch (kind) {
        case Kind::WalletNotFound: return "wallet not found: " + text;
        case Kind::ChainNotSupported: return "chain not supported: " + text;
        case Kind::InvalidPassphrase: return "invalid passphrase";
        case Kind::InvalidInput: return "invalid input: " + text;
        case Kind::CaipParse: return "CAIP parse error: " + text;
    }
    return {};
}

}  // namespace qel_core
