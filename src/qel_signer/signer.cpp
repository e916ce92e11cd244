#include "signer.hpp"

namespace qel_signer {

std::string SignerError::message() const {
    switch (kind) {
        case Kind::InvalidPrivateKey: return "invalid private key: " + text;
        case Kind::InvalidMessage: return "invalid message: " + text;
        case Kind::SigningFailed: return "signing failed: " + text;
        case Kind::AddressDerivationFailed: return "address derivation failed: " + text;
        case Kind::InvalidTransaction: return "invalid transaction: " + text;
    }
    return text;
}

std::expected<ByteSpan, SignerError> ChainSigner::extract_signable_bytes(ByteSpan tx) const {
    return tx;
}

std::expected<Bytes, SignerError> ChainSigner::encode_signed_transaction(ByteSpan /*tx*/,
                                                                         const SignOutput& /*output*/) const {
    return std::unexpected(SignerError{
        SignerError::Kind::InvalidTransaction,
        "encode_signed_transaction not implemented for " + std::string(qel_core::to_string(chain_type()))});
}

}  // namespace qel_signer
