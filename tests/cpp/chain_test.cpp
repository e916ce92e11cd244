#include "qel_core/chain.hpp"

#include <gtest/gtest.h>

namespace {

using qel_core::ChainType;
using qel_core::parse_chain;

TEST(ParseChain, NamesInAnyCaseAndExactIdsElseQuotesTheInput) {
    const std::tuple<std::string, std::string, std::string, ChainType> cases[] = {
        {"EtHeReUm", "ethereum", "eip155:1", ChainType::Evm}, {"EVM", "ethereum", "eip155:1", ChainType::Evm},
        {"eip155:137", "polygon", "eip155:137", ChainType::Evm}, {"eip155:10", "optimism", "eip155:10", ChainType::Evm},
        {"ARBITRUM", "arbitrum", "eip155:42161", ChainType::Evm}, {"eip155:56", "bsc", "eip155:56", ChainType::Evm},
        {"avalanche", "avalanche", "eip155:43114", ChainType::Evm},
        {"solana:5eykt4UsFv8P8NJdTREpY1vzqKqZKvdp", "solana", "solana:5eykt4UsFv8P8NJdTREpY1vzqKqZKvdp",
         ChainType::Solana},
        {"bip122:000000000019d6689c085ae165831e93", "bitcoin", "bip122:000000000019d6689c085ae165831e93",
         ChainType::Bitcoin},
        {"Cosmos", "cosmos", "cosmos:cosmoshub-4", ChainType::Cosmos}, {"TON", "ton", "ton:mainnet", ChainType::Ton},
        {"tron:mainnet", "tron", "tron:mainnet", ChainType::Tron},
    };
    for (const auto& [input, name, id, type] : cases) {
        auto r = parse_chain(input);
        ASSERT_TRUE(r.has_value()) << input;
        EXPECT_EQ(r->name, name);
        EXPECT_EQ(r->chain_id, id);
        EXPECT_EQ(r->chain_type, type);
        // Each family's default chain is its first one, and resolves back.
        const auto family = qel_core::default_chain_for_type(type);
        EXPECT_EQ(parse_chain(family.name), family);
        EXPECT_EQ(family.chain_id, type == ChainType::Evm ? "eip155:1" : id);
    }
    using namespace std::string_literals;
    for (std::string input : {""s, " ethereum"s, "ethereum "s, "eip155:0137"s, "eip155:137 "s, "EIP155:1"s,
                              "eip155:100"s, "BIP122:000000000019D6689C085AE165831E93"s,
                              "solana:5eykt4usfv8p8njdtrepy1vzqkqzkvdp"s, "ethereum\n"s, "eth"s, "evm\0"s,
                              "\xc3\x89vm"s, std::string(300, 'e')}) {
        const std::string quoted = input == "ethereum\n"  ? "ethereum\\n"
                                   : input == "evm\0"s    ? "evm\\x00"
                                   : input.size() == 300 ? std::string(200, 'e') + "\u2026"
                                                         : input;
        EXPECT_EQ(parse_chain(input).error(), "unknown chain: '" + quoted +
                                                  "'. Use a chain name (ethereum, solana, bitcoin, ...) or CAIP-2 "
                                                  "ID (eip155:1, ...)");
    }
}

}  // namespace
