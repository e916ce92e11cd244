#include "qel_core/wallet_file.hpp"

#include "support.hpp"

namespace {

using namespace std::chrono;
using nlohmann::json;
using qel_core::EncryptedWallet;
using qel_core::KeyType;

EncryptedWallet sample() {
    EncryptedWallet w;
    w.id = "0f8fad5b-d9cb-469f-a165-70867728950e";
    w.name = "sp\xc3\xa9nd \"tab\"\t";
    w.created_at = "2025-01-31T08:15:02.250+00:00";
    w.accounts = {{"eip155:1:0xabc", "0xabc", "eip155:1", "m/44'/60'/0'/0/0"}};
    // Out of name order on purpose: the file must sort it.
    w.crypto = {{"kdfparams", {{"salt", "ab"}, {"n", 262144}, {"dklen", 32}}}, {"cipher", "aes-256-gcm"},
                {"auth_tag", "00"}};
    w.key_type = KeyType::Mnemonic;
    return w;
}

// That what is read is written back the same is the wallet_file fuzz target's invariant.
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
    // Written in this order (empty containers inline, as in the full file).
    EXPECT_EQ(nlohmann::ordered_json::parse(w.to_file_text()).dump(),
              R"({"qel_version":2,"id":"0f8fad5b-d9cb-469f-a165-70867728950e","name":"spénd \"tab\"\t",)"
              R"("created_at":"2025-01-31T08:15:02.250+00:00","chain_type":"bitcoin","accounts":[],"crypto":{},)"
              R"("key_type":"private_key","metadata":{"a":{"b":null,"y":true},"z":1}})");
    EXPECT_NE(w.to_file_text().find("\n  \"accounts\": [],\n  \"crypto\": {},\n"), std::string::npos);
}

// A name that is not UTF-8 (only a caller in C++ can make one) is written
// with each maximal ill-formed subpart as U+FFFD, as Python's
// bytes.decode("utf-8", "replace") reads it.
TEST(WalletFile, IllFormedUtf8IsWrittenAsReplacementCharacters) {
    EncryptedWallet w = sample();
    w.name = "a\xff" "b\xed\xa0\x80";
    EXPECT_EQ(EncryptedWallet::from_file_text(w.to_file_text()).value().name,
              "a\xef\xbf\xbd" "b\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd");
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
    const std::tuple<std::string, std::string, std::string> cases[] = {  // member, value, error
        {"accounts", "", "missing field `accounts`"}, {"id", "", "missing field `id`"},
        {"crypto", "", "missing field `crypto`"}, {"key_type", "", "missing field `key_type`"},
        {"qel_version", "", "missing field `qel_version`"}, {"created_at", "", "missing field `created_at`"},
        {"accounts", R"([{"address":"a","chain_id":"c","derivation_path":""}])", "missing field `account_id`"},
        {"key_type", R"("Mnemonic")", "unknown variant `Mnemonic`, expected `mnemonic` or `private_key`"},
        {"key_type", "1", "invalid type: integer `1`, expected enum KeyType"},
        {"chain_type", R"("Bitcoin")",
         "unknown variant `Bitcoin`, expected one of `evm`, `solana`, `cosmos`, `bitcoin`, `tron`, `ton`"},
        {"qel_version", R"("2")", "invalid type: string \"2\", expected u32"},
        {"qel_version", "-1", "invalid value: integer `-1`, expected u32"},
        {"qel_version", "4294967296", "invalid value: integer `4294967296`, expected u32"},
        {"qel_version", "2.0", "invalid type: floating point `2.0`, expected u32"},
        {"qel_version", "true", "invalid type: boolean `true`, expected u32"},
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
        {"crypto", R"({"kdfparams":{"n":1,"n":2}})", "duplicate field `n`"},
        {"extra", R"([{"k":1,"k":2}])", "duplicate field `k`"},
        {"metadata", std::string(255, '[') + std::string(255, ']'), "<succeeded>"},
        {"metadata", std::string(256, '[') + std::string(256, ']'), "nesting deeper than 256 levels"},
    };
    for (const auto& [member, value, error] : cases) {
        EXPECT_EQ(qel_test::error_of(EncryptedWallet::from_file_text(file_with(member, value))), error)
            << member << "=" << value;
    }
    const std::pair<std::string, std::string> whole[] = {
        {"[]", "invalid type: sequence, expected struct EncryptedWallet"},
        {R"({"id":"a","id":"b"})", "duplicate field `id`"},
    };
    for (const auto& [text, error] : whole) EXPECT_EQ(qel_test::error_of(EncryptedWallet::from_file_text(text)), error);
}

TEST(WalletFile, ReadingIsLenient) {
    const std::pair<std::string, std::string> cases[] = {
        {"qel_version", "7"}, {"qel_version", "4294967295"}, {"chain_type", "null"}, {"chain_type", R"("bitcoin")"},
        {"chain_type", R"({"ton":null})"}, {"key_type", R"({"private_key":null})"},
        {"extra", R"({"anything":[1,2]})"}, {"metadata", "null"}, {"crypto", "null"},
    };
    for (const auto& [member, value] : cases) {
        auto r = EncryptedWallet::from_file_text(file_with(member, value));
        ASSERT_TRUE(r.has_value()) << member << "=" << value << ": " << r.error();
        // The unknown member, an absent chain type and null metadata are not written back.
        const std::string text = r->to_file_text();
        EXPECT_EQ(text.find("extra"), std::string::npos);
        EXPECT_EQ(text.find("metadata"), std::string::npos);
        EXPECT_EQ(text.find("chain_type") != std::string::npos, member == "chain_type" && value != "null");
    }
    EXPECT_EQ(EncryptedWallet::from_file_text(file_with("qel_version", "7"))->qel_version, 7u);
    EXPECT_EQ(EncryptedWallet::from_file_text(file_with("chain_type", R"({"ton":null})"))->chain_type,
              qel_core::ChainType::Ton);
    EXPECT_EQ(EncryptedWallet::from_file_text(file_with("key_type", R"({"private_key":null})"))->key_type,
              KeyType::PrivateKey);
}

TEST(CreatedAt, FractionHasZeroThreeSixOrNineDigits) {
    const sys_time<nanoseconds> base = sys_days{2025y / January / 31} + 8h + 15min + 2s;
    const std::pair<nanoseconds, const char*> cases[] = {
        {0ns, "2025-01-31T08:15:02+00:00"}, {1ms, "2025-01-31T08:15:02.001+00:00"},
        {250113us, "2025-01-31T08:15:02.250113+00:00"}, {10us, "2025-01-31T08:15:02.000010+00:00"},
        {999999999ns, "2025-01-31T08:15:02.999999999+00:00"},
    };
    for (const auto& [sub, text] : cases) {
        EXPECT_EQ(qel_core::format_created_at(time_point_cast<system_clock::duration>(base + sub)), text);
    }
}

}  // namespace
