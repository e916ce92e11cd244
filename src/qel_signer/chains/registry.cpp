#include <cstdlib>

#include "qel_signer/chains/bitcoin.hpp"
#include "qel_signer/chains/cosmos.hpp"
#include "qel_signer/chains/evm.hpp"
#include "qel_signer/chains/solana.hpp"
#include "qel_signer/chains/ton.hpp"
#include "qel_signer/chains/tron.hpp"
#include "qel_signer/signer.hpp"

namespace qel_signer {

std::unique_ptr<ChainSigner> signer_for_chain(qel_core::ChainType type) {
    // No default label: a new family must fail to compile here until it has a signer.
    switch (type) {
        case qel_core::ChainType::Evm: return std::make_unique<chains::EvmSigner>();
        case qel_core::ChainType::Solana: return std::make_unique<chains::SolanaSigner>();
        case qel_core::ChainType::Cosmos: return std::make_unique<chains::CosmosSigner>("cosmos");
        case qel_core::ChainType::Bitcoin: return std::make_unique<chains::BitcoinSigner>("bc");
        case qel_core::ChainType::Tron: return std::make_unique<chains::TronSigner>();
        case qel_core::ChainType::Ton: return std::make_unique<chains::TonSigner>();
    }
    // Only a value forged by a cast lands here; that is a broken invariant.
    std::abort();
}

}  // namespace qel_signer
