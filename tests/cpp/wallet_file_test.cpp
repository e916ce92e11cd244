#include "qel_core/wallet_file.hpp"

#include <gtest/gtest.h>

#include <regex>
#include <string>

namespace {

using namespace std::chrono;
using nlohmann::json;
using qel_core::EncryptedWallet;
using qel_core::KeyType;
using qel_core::WalletAccount;

EncryptedWallet sample() {
    EncryptedWallet w;
    w.id = "0f8fad5b-d9cb-469f-a165-70867728950e";
    w.name = "sp\xc3\xa9nd \"tab\"\t";
    w.created_at = "2025-01-31T08:15:02.250+00:00";
    w.accounts = {
        {"eip155:1:0xabc", "0xabc", "eip155:1", "m/44'/60'/0'/0/0"},
        {"ton:mainnet:UQx", "UQx", "ton:mainnet", ""},
    };
    // Built out of name order on purpose: the file must sort it.
    w.crypto = json::object();
    w.crypto["kdfparams"] = {{"salt", "ab"}, {"n", 262144}, {"dklen", 32}};
    w.crypto["cipher"] = "aes-256-gcm";
    w.crypto["auth_tag"] = "00";
    w.key_type = KeyType::Mnemonic;
    return w;
}

TEST(WalletFile, ExactFileText) {
    EXPECT_EQ(sample().to_file_text(),
              R"({
  "qel_version": 2,
  "id": "0f8fad5b-d9cb-469f-a165-70867728950e",
  "name": "spénd \"tab\"\t",
  "created_at": "2025-01-31T08:15:02.250+00:00",
  "accounts": [
    {
      "account_id": "eip155:1:0xabc",
      "address": "0xabc",
      "chain_id": "eip155:1",
      "derivation_path": "m/44'/60'/0'/0/0"
    },
    {
      "account_id": "ton:mainnet:UQx",
      "address": "UQx",
      "chain_id": "ton:mainnet",
      "derivation_path": ""
    }
  ],
  "crypto": {
    "auth_tag": "00",
    "cipher": "aes-256-gcm",
    "kdfparams": {
      "dklen": 32,
      "n": 262144,
      "salt": "ab"
    }
  },
  "key_type": "mnemonic"
})");
}

TEST(WalletFile, OptionalMembersAreWrittenOnlyWhenSet) {
    EncryptedWallet w = sample();
    w.accounts.clear();
    w.crypto = json::object();
    w.chain_type = qel_core::ChainType::Bitcoin;
    w.key_type = KeyType::PrivateKey;
    w.metadata = {{"z", 1}, {"a", {{"y", true}, {"b", nullptr}}}};
    EXPECT_EQ(w.to_file_text(),
              R"({
  "qel_version": 2,
  "id": "0f8fad5b-d9cb-469f-a165-70867728950e",
  "name": "spénd \"tab\"\t",
  "created_at": "2025-01-31T08:15:02.250+00:00",
  "chain_type": "bitcoin",
  "accounts": [],
  "crypto": {},
  "key_type": "private_key",
  "metadata": {
    "a": {
      "b": null,
      "y": true
    },
    "z": 1
  }
})");
}

TEST(WalletFile, RoundTrip) {
    const EncryptedWallet w = sample();
    auto back = EncryptedWallet::from_file_text(w.to_file_text());
    ASSERT_TRUE(back.has_value()) << back.error();
    EXPECT_EQ(back->to_file_text(), w.to_file_text());
    EXPECT_EQ(back->accounts, w.accounts);
    EXPECT_EQ(back->name, w.name);
    EXPECT_FALSE(back->chain_type.has_value());
    EXPECT_TRUE(back->metadata.is_null());
}

// A name that is not UTF-8 (only a caller in C++ can make one) is written with
// each maximal ill-formed subpart as U+FFFD, as Python's
// bytes.decode("utf-8", "replace") reads it, and the file reads back.
TEST(WalletFile, IllFormedUtf8IsWrittenAsReplacementCharacters) {
    const std::string r = "\xef\xbf\xbd";
    struct Case {
        std::string in, out;
    };
    const Case cases[] = {
        {"a\xff" "b", "a" + r + "b"},
        {"\xc3", r},
        {"\xe2\x82", r},
        {"\xed\xa0\x80", r + r + r},
        {"\xc0\xaf", r + r},
    };
    for (const Case& c : cases) {
        EncryptedWallet w = sample();
        w.name = c.in;
        auto back = EncryptedWallet::from_file_text(w.to_file_text());
        ASSERT_TRUE(back.has_value()) << back.error();
        EXPECT_EQ(back->name, c.out);
    }
}

// A minimal valid file with one member replaced by the given JSON text (or
// removed when it is empty), members deliberately out of the written order.
std::string file_with(const std::string& member, const std::string& value) {
    json doc = json::parse(R"({
        "key_type": "mnemonic", "crypto": {"c": 1}, "accounts": [],
        "created_at": "2025-01-01T00:00:00+00:00", "name": "n", "id": "i", "qel_version": 2})");
    doc.erase(member);
    std::string text = doc.dump();
    if (!value.empty()) text.insert(1, json(member).dump() + ":" + value + ",");
    return text;
}

TEST(WalletFile, ReadingRejectsBadFilesWithTheReadersText) {
    struct Case {
        std::string member, value, error;
    };
    const Case cases[] = {
        {"accounts", "", "missing field `accounts`"},
        {"id", "", "missing field `id`"},
        {"crypto", "", "missing field `crypto`"},
        {"key_type", "", "missing field `key_type`"},
        {"qel_version", "", "missing field `qel_version`"},
        {"created_at", "", "missing field `created_at`"},
        {"accounts", R"([{"address":"a","chain_id":"c","derivation_path":""}])", "missing field `account_id`"},
        {"key_type", R"("Mnemonic")", "unknown variant `Mnemonic`, expected `mnemonic` or `private_key`"},
        {"key_type", R"({"seed":null})", "unknown variant `seed`, expected `mnemonic` or `private_key`"},
        {"key_type", "1", "invalid type: integer `1`, expected enum KeyType"},
        {"chain_type", R"("Bitcoin")",
         "unknown variant `Bitcoin`, expected one of `evm`, `solana`, `cosmos`, `bitcoin`, `tron`, `ton`"},
        {"qel_version", R"("2")", "invalid type: string \"2\", expected u32"},
        {"qel_version", "-1", "invalid value: integer `-1`, expected u32"},
        {"qel_version", "4294967296", "invalid value: integer `4294967296`, expected u32"},
        {"qel_version", "2.0", "invalid type: floating point `2.0`, expected u32"},
        {"qel_version", "18446744073709551616", "invalid type: floating point `1.8446744073709552e+19`, expected u32"},
        {"name", "null", "invalid type: null, expected a string"},
        {"id", "[]", "invalid type: sequence, expected a string"},
        {"accounts", "{}", "invalid type: map, expected a sequence"},
        {"accounts", "[7]", "invalid type: integer `7`, expected struct WalletAccount"},
        {"qel_version", '"' + std::string(100, 'x') + '"',
         "invalid type: string \"" + std::string(64, 'x') + "...\", expected u32"},
        // Repeated names and deep nesting anywhere come before field errors.
        {"accounts", R"([{"account_id":"a","address":"b","chain_id":"c","derivation_path":"","address":"b"}])",
         "duplicate field `address`"},
        {"accounts", R"([[{"a":1,"a":2}]])", "duplicate field `a`"},
        {"accounts", R"({"a":1,"a":2})", "duplicate field `a`"},
        {"crypto", R"({"kdfparams":{"n":1,"n":2}})", "duplicate field `n`"},
        {"extra", R"([{"k":1,"k":2}])", "duplicate field `k`"},
        {"metadata", std::string(255, '[') + std::string(255, ']'), ""},
        {"metadata", R"({"plugin":{"stake":123456789012345678901234567890}})", ""},
        {"metadata", std::string(256, '[') + std::string(256, ']'), "nesting deeper than 256 levels"},
    };
    for (const auto& c : cases) {
        auto r = EncryptedWallet::from_file_text(file_with(c.member, c.value));
        if (c.error.empty()) {
            EXPECT_TRUE(r.has_value()) << c.member << "=" << c.value;
            continue;
        }
        ASSERT_FALSE(r.has_value()) << c.member << "=" << c.value;
        EXPECT_EQ(r.error(), c.error) << c.member << "=" << c.value;
    }
    for (const std::string text : {"[]", "null", "\"x\""}) {
        EXPECT_FALSE(EncryptedWallet::from_file_text(text).has_value()) << text;
    }
    auto dup = EncryptedWallet::from_file_text(R"({"id":"a","id":"b"})");
    ASSERT_FALSE(dup.has_value());
    EXPECT_EQ(dup.error(), "duplicate field `id`");
    auto dup_inner = EncryptedWallet::from_file_text(file_with("crypto", R"({"x":{"n":1}})").insert(1, R"("metadata":{"k":1,"k":2},)"));
    ASSERT_FALSE(dup_inner.has_value());
    EXPECT_EQ(dup_inner.error(), "duplicate field `k`");
}

TEST(WalletFile, ReadingIsLenient) {
    struct Case {
        std::string member, value;
    };
    const Case cases[] = {
        {"qel_version", "7"},
        {"qel_version", "4294967295"},
        {"chain_type", "null"},
        {"chain_type", R"("bitcoin")"},
        {"chain_type", R"({"ton":null})"},
        {"key_type", R"({"private_key":null})"},
        {"extra", R"({"anything":[1,2]})"},
        {"metadata", "null"},
        {"crypto", "null"},
    };
    for (const auto& c : cases) {
        auto r = EncryptedWallet::from_file_text(file_with(c.member, c.value));
        ASSERT_TRUE(r.has_value()) << c.member << "=" << c.value << ": " << r.error();
        // The unknown member, an absent chain type and null metadata are not
        // written back.
        const std::string text = r->to_file_text();
        EXPECT_EQ(text.find("extra"), std::string::npos);
        EXPECT_EQ(text.find("metadata"), std::string::npos);
        EXPECT_EQ(text.find("chain_type") != std::string::npos, c.member == "chain_type" && c.value != "null");
    }
    auto v7 = EncryptedWallet::from_file_text(file_with("qel_version", "7"));
    EXPECT_EQ(v7->qel_version, 7u);
    auto ton = EncryptedWallet::from_file_text(file_with("chain_type", R"({"ton":null})"));
    EXPECT_EQ(ton->chain_type, qel_core::ChainType::Ton);
    auto pk = EncryptedWallet::from_file_text(file_with("key_type", R"({"private_key":null})"));
    EXPECT_EQ(pk->key_type, KeyType::PrivateKey);
}

TEST(CreatedAt, FractionHasZeroThreeSixOrNineDigits) {
    const sys_time<nanoseconds> base = sys_days{2025y / January / 31} + 8h + 15min + 2s;
    struct Case {
        nanoseconds sub;
        const char* text;
    };
    const Case cases[] = {
        {0ns, "2025-01-31T08:15:02+00:00"},
        {250ms, "2025-01-31T08:15:02.250+00:00"},
        {1ms, "2025-01-31T08:15:02.001+00:00"},
        {250113us, "2025-01-31T08:15:02.250113+00:00"},
        {10us, "2025-01-31T08:15:02.000010+00:00"},
        {1ns, "2025-01-31T08:15:02.000000001+00:00"},
        {999999999ns, "2025-01-31T08:15:02.999999999+00:00"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(qel_core::format_created_at(time_point_cast<system_clock::duration>(base + c.sub)), c.text);
    }
    EXPECT_EQ(qel_core::format_created_at(system_clock::time_point{}), "1970-01-01T00:00:00+00:00");
    EXPECT_EQ(qel_core::format_created_at(time_point_cast<system_clock::duration>(
                  sys_days{2024y / February / 29} + 23h + 59min + 59s)),
              "2024-02-29T23:59:59+00:00");
}

TEST(CreatedAt, CreateStampsNowAndDefaults) {
    const auto before = qel_core::format_created_at(system_clock::now());
    const EncryptedWallet w = EncryptedWallet::create("id", "name", {}, json::object(), KeyType::PrivateKey);
    const auto after = qel_core::format_created_at(system_clock::now());
    EXPECT_EQ(w.qel_version, 2u);
    EXPECT_FALSE(w.chain_type.has_value());
    EXPECT_TRUE(w.metadata.is_null());
    EXPECT_EQ(w.key_type, KeyType::PrivateKey);
    EXPECT_TRUE(std::regex_match(
        w.created_at, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{3}|\.\d{6}|\.\d{9})?\+00:00)")));
    // Ordering by the text is ordering by time (compare whole seconds, as the
    // fraction's width varies).
    EXPECT_LE(before.substr(0, 19), w.created_at.substr(0, 19));
    EXPECT_LE(w.created_at.substr(0, 19), after.substr(0, 19));
}

}  // namespace
