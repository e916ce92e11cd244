#include "chain.hpp"
#include "shown.hpp"

namespace qel_core {

namespace {

constexpr std::array<std::string_view, 6> kTypeNames{"evm", "solana", "cosmos", "bitcoin", "tron", "ton"};

std::string unknown_variant(std::string_view got) {
    std::string text = "unknown variant `" + shown(got) + "`, expected one of ";
    for (std::size_t i = 0; i < kTypeNames.size(); ++i) {
        if (i != 0) text += ", ";
        text.append("`").append(kTypeNames[i]).append("`");
    }
    return text;
}

// Lower-cases ASCII letters only. No non-ASCII character lower-cases into a
// letter that occurs in a chain name, so this matches a Unicode-aware
// lowering for the purpose of the name comparison.
std::string ascii_lower(std::string_view in) {
    std::string out(in);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

}  // namespace

std::string_view to_string(ChainType type) {
    return kTypeNames[static_cast<std::size_t>(type)];
}

std::expected<ChainType, std::string> chain_type_from_name(std::string_view name) {
    for (std::size_t i = 0; i < kTypeNames.size(); ++i) {
        if (kTypeNames[i] == name) return static_cast<ChainType>(i);
    }
    return std::unexpected(unknown_variant(name));
}

std::expected<Chain, std::string> parse_chain(std::string_view input) {
    const std::string lowered = ascii_lower(input);
    if (lowered == "evm") return KNOWN_CHAINS[0];
    for (const Chain& chain : KNOWN_CHAINS) {
        if (chain.name == lowered) return chain;
    }
    for (const Chain& chain : KNOWN_CHAINS) {
        if (chain.chain_id == input) return chain;
    }
    return std::unexpected("unknown chain: '" + shown(input) +
                           "'. Use a chain name (ethereum, solana, bitcoin, ...) or CAIP-2 ID (eip155:1, ...)");
}

std::optional<std::uint64_t> eip155_number(std::string_view chain_id) {
    constexpr std::string_view kPrefix = "eip155:";
    if (!chain_id.starts_with(kPrefix)) return std::nullopt;
    const std::string_view digits = chain_id.substr(kPrefix.size());
    if (digits.empty() || digits.size() > 20 || digits[0] == '0') return std::nullopt;
    std::uint64_t n = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto d = static_cast<std::uint64_t>(c - '0');
        if (n > (UINT64_MAX - d) / 10) return std::nullopt;
        n = n * 10 + d;
    }
    return n;
}

Chain default_chain_for_type(ChainType type) {
    switch (type) {
        case ChainType::Evm: return KNOWN_CHAINS[0];
        case ChainType::Solana: return KNOWN_CHAINS[7];
        case ChainType::Bitcoin: return KNOWN_CHAINS[8];
        case ChainType::Cosmos: return KNOWN_CHAINS[9];
        case ChainType::Tron: return KNOWN_CHAINS[10];
        case ChainType::Ton: return KNOWN_CHAINS[11];
    }
    return KNOWN_CHAINS[0];
}

}  // namespace qel_core
