#include "qel_signer/mnemonic.hpp"

#include <cerrno>
#include <set>

#include "qel_signer/random.hpp"
#include "support.hpp"

namespace {

using qel_signer::Mnemonic;
using qel_test::error_of;
using qel_test::text_of;
using qel_test::unhex;

std::string repeat(const std::string& word, int n, const std::string& last = "") {
    std::string out;
    for (int i = 0; i < n; ++i) out += (i ? " " : "") + word;
    return last.empty() ? out : out + " " + last;
}

// Entropy -> phrase -> parse -> seed, for every published vector and its passphrase, and a 15-word phrase.
TEST(Mnemonic, PublishedVectors) {
    const auto data = qel_test::load_vectors("bip39.json");
    for (const char* group : {"trezor", "empty_passphrase", "other_passphrase"}) {
        for (const auto& v : data[group]["vectors"]) {
            const std::string phrase = v["mnemonic"];
            const auto from_entropy = Mnemonic::from_entropy(unhex(v["entropy_hex"])).value();
            EXPECT_EQ(text_of(from_entropy.phrase()), phrase);
            EXPECT_EQ(from_entropy.word_count(), v["word_count"].get<std::size_t>());
            EXPECT_EQ(qel_signer::hex_encode(
                          Mnemonic::from_phrase(phrase).value().to_seed(v["passphrase"].get<std::string>()).as_slice()),
                      v["seed_hex"].get<std::string>());
        }
    }
    // Never generated but imported; the seed from the reference Python implementation (PyPI "mnemonic" 0.21).
    const auto fifteen = Mnemonic::from_phrase(
        "avoid mass luggage choice fabric argue gather cash brand thought elegant dinner acoustic much mimic");
    EXPECT_EQ(qel_signer::hex_encode(fifteen.value().to_seed("").as_slice()),
              "3aa85bee556681129a8acc020f752b681493418b280b0e32865ab877c71feca480d2768504c6f1a6c1638dbb6834fdb6f854194b13"
              "271a58a8fb23bf53529031");
}

TEST(Mnemonic, ParseFailuresCarryExactMessages) {
    const std::string bad_checksum = qel_test::load_vectors("bip39.json")["invalid"][0]["mnemonic"];
    const auto word = [](const std::string& w) { return "the word `" + w + "` is invalid"; };
    const auto length = [](int n) { return "the mnemonic's entropy length `" + std::to_string(n) + "` is invalid"; };
    const auto phrase = [](const std::string& p) { return "the phrase `" + p + "` is invalid"; };
    const std::pair<std::string, std::string> cases[] = {
        {repeat("abandon", 10, "abandon  about"), word("")},
        {repeat("abandon", 10, "Abandon about"), word("Abandon")},
        {"abandon\tabandon", word("abandon\tabandon")},
        // Every word is looked up before the count is judged.
        {repeat("abandon", 12, "bitcoin"), word("bitcoin")},
        {repeat("abandon", 13), length(18)},
        {repeat("abandon", 11), phrase(repeat("abandon", 11))},  // packs into a valid size, renders as 12 words
        {bad_checksum, phrase(bad_checksum)},
    };
    for (const auto& [input, text] : cases) {
        EXPECT_EQ(error_of(Mnemonic::from_phrase(input)), "invalid mnemonic phrase: " + text) << input;
    }
    const std::vector<std::uint8_t> bytes(40, 0);
    for (int n : {0, 15, 17, 33}) {
        EXPECT_EQ(error_of(Mnemonic::from_entropy({bytes.data(), static_cast<std::size_t>(n)})),
                  "invalid mnemonic phrase: " + length(n));
    }
}

TEST(Mnemonic, GenerateGivesFreshParsableMnemonicsOrFailsClosed) {
    std::set<std::string> seen;
    for (bool twenty_four : {false, true, false, true}) {
        auto m = Mnemonic::generate(twenty_four);
        ASSERT_TRUE(m);
        EXPECT_EQ(m->word_count(), twenty_four ? 24U : 12U);
        const std::string phrase = text_of(m->phrase());
        EXPECT_TRUE(Mnemonic::from_phrase(phrase));
        EXPECT_TRUE(seen.insert(phrase).second);
    }
    qel_signer::testing::set_random_failure(EIO);
    const auto r = Mnemonic::generate(true);
    qel_signer::testing::set_random_failure(0);
    EXPECT_EQ(error_of(r), "mnemonic generation failed: Input/output error (os error 5)");
}

TEST(Mnemonic, MoveLeavesSourceEmpty) {
    auto a = Mnemonic::from_phrase(repeat("abandon", 11, "about"));
    ASSERT_TRUE(a);
    Mnemonic b = std::move(*a);
    EXPECT_EQ(a->word_count(), 0U);
    EXPECT_EQ(a->phrase().size(), 0U);
    EXPECT_EQ(text_of(b.phrase()), repeat("abandon", 11, "about"));
}

}  // namespace
