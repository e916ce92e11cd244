#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace qel_core {

// The six chain families, in declaration order.
enum class ChainType : std::uint8_t { Evm, Solana, Cosmos, Bitcoin, Tron, Ton };

// "evm", "solana", "cosmos", "bitcoin", "tron" or "ton".
[[nodiscard]] std::string_view to_string(ChainType type);

// The family of one of the six names; anything else fails with
// "unknown variant `x`, expected one of `evm`, ...".
[[nodiscard]] std::expected<ChainType, std::string> chain_type_from_name(std::string_view name);

// A resolved chain. All texts are static.
struct Chain {
    std::string_view name;
    std::string_view chain_id;  // CAIP-2
    ChainType chain_type;

    friend bool operator==(const Chain&, const Chain&) = default;
};

inline constexpr std::array<Chain, 12> KNOWN_CHAINS{{
    {"ethereum", "eip155:1", ChainType::Evm},
    {"polygon", "eip155:137", ChainType::Evm},
    {"arbitrum", "eip155:42161", ChainType::Evm},
    {"optimism", "eip155:10", ChainType::Evm},
    {"base", "eip155:8453", ChainType::Evm},
    {"bsc", "eip155:56", ChainType::Evm},
    {"avalanche", "eip155:43114", ChainType::Evm},
    {"solana", "solana:5eykt4UsFv8P8NJdTREpY1vzqKqZKvdp", ChainType::Solana},
    {"bitcoin", "bip122:000000000019d6689c085ae165831e93", ChainType::Bitcoin},
    {"cosmos", "cosmos:cosmoshub-4", ChainType::Cosmos},
    {"tron", "tron:mainnet", ChainType::Tron},
    {"ton", "ton:mainnet", ChainType::Ton},
}};

// Order of the accounts of every universal wallet (differs from the
// declaration order: Bitcoin comes before Cosmos).
inline constexpr std::array<ChainType, 6> UNIVERSAL_ORDER{
    ChainType::Evm, ChainType::Solana, ChainType::Bitcoin, ChainType::Cosmos, ChainType::Tron, ChainType::Ton,
};

// Resolves a chain name (any letter case, "evm" included) or an exact CAIP-2
// identifier. Fails with "unknown chain: '<input>'. Use a chain name ...".
[[nodiscard]] std::expected<Chain, std::string> parse_chain(std::string_view input);

// The number N of an "eip155:<N>" identifier: decimal digits without a
// leading zero, 1 to 2^64 - 1; nullopt for any other text.
[[nodiscard]] std::optional<std::uint64_t> eip155_number(std::string_view chain_id);

// The default chain of a family ("ethereum" for Evm, ...). Never fails.
[[nodiscard]] Chain default_chain_for_type(ChainType type);

}  // namespace qel_core
