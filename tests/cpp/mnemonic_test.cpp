#include "qel_signer/mnemonic.hpp"

#include <cerrno>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "qel_signer/encoding.hpp"
#include "qel_signer/random.hpp"
#include "test_data.hpp"

namespace {

using qel_signer::Mnemonic;
using qel_signer::MnemonicError;

std::string text_of(const qel_signer::SecretBytes& s) {
    return {reinterpret_cast<const char*>(s.data()), s.size()};
}

std::string repeat(const std::string& word, int n, const std::string& last = "") {
    std::string out;
    for (int i = 0; i < n; ++i) out += (i ? " " : "") + word;
    return last.empty() ? out : out + " " + last;
}

const std::string kAbandonAbout = repeat("abandon", 11, "about");

// Entropy -> phrase -> parse -> seed, for every published vector and its passphrase.
TEST(Mnemonic, PublishedVectors) {
    const auto data = qel_test::load_vectors("bip39.json");
    int checked = 0;
    for (const char* group : {"trezor", "empty_passphrase", "other_passphrase"}) {
        for (const auto& v : data[group]["vectors"]) {
            const std::string phrase = v["mnemonic"];
            SCOPED_TRACE(phrase);
            const auto entropy = qel_signer::hex_decode(v["entropy_hex"].get<std::string>());
            ASSERT_TRUE(entropy);
            auto from_entropy = Mnemonic::from_entropy(*entropy);
            ASSERT_TRUE(from_entropy);
            EXPECT_EQ(text_of(from_entropy->phrase()), phrase);
            EXPECT_EQ(from_entropy->word_count(), v["word_count"].get<std::size_t>());

            auto parsed = Mnemonic::from_phrase(phrase);
            ASSERT_TRUE(parsed) << parsed.error().message();
            const auto seed = parsed->to_seed(v["passphrase"].get<std::string>());
            EXPECT_EQ(qel_signer::hex_encode(seed.as_slice()), v["seed_hex"].get<std::string>());
            ++checked;
        }
    }
    EXPECT_EQ(checked, 35);
}

// 15- and 21-word phrases are never generated but must import. Expected
// values from the reference Python implementation (PyPI "mnemonic" 0.21).
TEST(Mnemonic, AcceptsFifteenAndTwentyOneWords) {
    struct Case {
        const char* phrase;
        const char* seed_hex;
    };
    const Case cases[] = {
        {"avoid mass luggage choice fabric argue gather cash brand thought elegant dinner acoustic much mimic",
         "3aa85bee556681129a8acc020f752b681493418b280b0e32865ab877c71feca480d2768504c6f1a6c1638dbb6834fdb6f854194b13"
         "271a58a8fb23bf53529031"},
        {"pass artist pottery enable foil fatigue pencil crystal produce grace hill garage arch sun solution note "
         "repeat saddle common install remind",
         "c49a00e2061bd91b773759dbe7110e91c89d929df5d23e1af59bd6c68044f8ee0a30da53d860b781c7c4a3f79ec81064beac78649e6"
         "892d2e944f1f4ec7e6e0a"},
    };
    for (const auto& c : cases) {
        auto m = Mnemonic::from_phrase(c.phrase);
        ASSERT_TRUE(m) << m.error().message();
        EXPECT_EQ(qel_signer::hex_encode(m->to_seed("").as_slice()), c.seed_hex);
    }
}

TEST(Mnemonic, ParseFailuresCarryExactMessages) {
    const std::string bad_checksum = qel_test::load_vectors("bip39.json")["invalid"][0]["mnemonic"];
    struct Case {
        std::string phrase;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"", "invalid mnemonic phrase: the word `` is invalid"},
        {kAbandonAbout + " ", "invalid mnemonic phrase: the word `` is invalid"},
        {" " + kAbandonAbout, "invalid mnemonic phrase: the word `` is invalid"},
        {repeat("abandon", 10, "abandon  about"), "invalid mnemonic phrase: the word `` is invalid"},
        {repeat("abandon", 10, "Abandon about"), "invalid mnemonic phrase: the word `Abandon` is invalid"},
        {"abandon\tabandon", "invalid mnemonic phrase: the word `abandon\tabandon` is invalid"},
        // Every word is looked up before the count is judged.
        {repeat("abandon", 12, "bitcoin"), "invalid mnemonic phrase: the word `bitcoin` is invalid"},
        {repeat("abandon", 13), "invalid mnemonic phrase: the mnemonic's entropy length `18` is invalid"},
        {"abandon", "invalid mnemonic phrase: the mnemonic's entropy length `2` is invalid"},
        {repeat("abandon", 25), "invalid mnemonic phrase: the mnemonic's entropy length `35` is invalid"},
        // 11 and 14 words pack into valid sizes but render as 12 and 15 words.
        {repeat("abandon", 11), "invalid mnemonic phrase: the phrase `" + repeat("abandon", 11) + "` is invalid"},
        {repeat("abandon", 14), "invalid mnemonic phrase: the phrase `" + repeat("abandon", 14) + "` is invalid"},
        {bad_checksum, "invalid mnemonic phrase: the phrase `" + bad_checksum + "` is invalid"},
        {repeat("abandon", 12), "invalid mnemonic phrase: the phrase `" + repeat("abandon", 12) + "` is invalid"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.phrase);
        const auto r = Mnemonic::from_phrase(c.phrase);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().kind, MnemonicError::Kind::InvalidPhrase);
        EXPECT_EQ(r.error().message(), c.message);
    }
}

TEST(Mnemonic, FromEntropyRefusesOtherSizes) {
    const std::vector<std::uint8_t> bytes(40, 0);
    for (std::size_t n : {0, 15, 17, 31, 33, 40}) {
        const auto r = Mnemonic::from_entropy({bytes.data(), n});
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().message(),
                  "invalid mnemonic phrase: the mnemonic's entropy length `" + std::to_string(n) + "` is invalid");
    }
}

TEST(Mnemonic, GenerateGivesFreshParsableMnemonics) {
    std::set<std::string> seen;
    for (bool twenty_four : {false, true, false, true}) {
        auto m = Mnemonic::generate(twenty_four);
        ASSERT_TRUE(m);
        EXPECT_EQ(m->word_count(), twenty_four ? 24U : 12U);
        const std::string phrase = text_of(m->phrase());
        EXPECT_TRUE(Mnemonic::from_phrase(phrase));
        EXPECT_TRUE(seen.insert(phrase).second);
        EXPECT_EQ(m->to_seed("").size(), 64U);
    }
}

TEST(Mnemonic, RandomSourceFailureIsAnError) {
    qel_signer::testing::set_random_failure(EIO);
    const auto r = Mnemonic::generate(true);
    qel_signer::testing::set_random_failure(0);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, MnemonicError::Kind::GenerationFailed);
    EXPECT_EQ(r.error().message(), "mnemonic generation failed: Input/output error (os error 5)");
}

TEST(Mnemonic, MoveLeavesSourceEmpty) {
    auto a = Mnemonic::from_phrase(kAbandonAbout);
    ASSERT_TRUE(a);
    Mnemonic b = std::move(*a);
    EXPECT_EQ(a->word_count(), 0U);
    EXPECT_EQ(a->phrase().size(), 0U);
    EXPECT_EQ(text_of(b.phrase()), kAbandonAbout);
}

}  // namespace
