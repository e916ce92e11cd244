// sign_and_encode against sign_transaction on the same wallet, per family,
// the two alternated in one run: both unlock the wallet (scrypt), which
// should dominate, so the ratio should stay within 1.02. And reading a
// 10-input PSBT and encoding its transaction (the sighashes and the
// serialization, without the ECDSA signing) alone, which should take well
// under 50 us.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>

#include "paired.hpp"
#include "qel_lib/ops.hpp"
#include "qel_lib/transactions.hpp"
#include "qel_signer/chains/bitcoin/signing.hpp"
#include "qel_signer/ed25519.hpp"
#include "qel_signer/encoding.hpp"
#include "qel_signer/hash.hpp"
#include "qel_signer/protobuf.hpp"
#include "qel_signer/secp256k1.hpp"

namespace {

namespace fs = std::filesystem;
using qel_signer::Bytes;

const std::string kSecpHex(64, '4');
const std::string kEdHex(64, '5');
const std::string_view kPass("bench passphrase");

Bytes unhex(const std::string& text) { return *qel_signer::hex_decode(text); }

void put(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }
void put_kv(Bytes& out, const Bytes& key, const Bytes& value) {
    qel_signer::chains::bitcoin::put_compact_size(out, key.size());
    put(out, key);
    qel_signer::chains::bitcoin::put_compact_size(out, value.size());
    put(out, value);
}

// A PSBT of `inputs` inputs, each spending 10000 sat of the key's P2WPKH output, and two outputs.
Bytes psbt(int inputs) {
    const auto pub = *qel_signer::secp256k1::compressed_public_key(unhex(kSecpHex));
    const auto key_hash = qel_signer::hash160(pub);
    Bytes script{0x00, 0x14};
    script.insert(script.end(), key_hash.begin(), key_hash.end());
    Bytes tx = unhex("02000000");
    tx.push_back(static_cast<std::uint8_t>(inputs));
    for (int i = 0; i < inputs; ++i) {
        tx.insert(tx.end(), 32, static_cast<std::uint8_t>(i + 1));
        put(tx, unhex("0000000000ffffffff"));
    }
    tx.push_back(2);
    for (int o = 0; o < 2; ++o) {
        put(tx, unhex("1027000000000000"));
        tx.push_back(static_cast<std::uint8_t>(script.size()));
        put(tx, script);
    }
    put(tx, unhex("00000000"));
    Bytes out = unhex("70736274ff");
    put_kv(out, {0x00}, tx);
    out.push_back(0x00);
    Bytes utxo = unhex("1027000000000000");
    utxo.push_back(static_cast<std::uint8_t>(script.size()));
    put(utxo, script);
    for (int i = 0; i < inputs; ++i) {
        put_kv(out, {0x01}, utxo);
        out.push_back(0x00);
    }
    out.insert(out.end(), {0x00, 0x00});
    return out;
}

Bytes sign_doc() {
    namespace pb = qel_signer::protobuf;
    const auto pub = *qel_signer::secp256k1::compressed_public_key(unhex(kSecpHex));
    Bytes key, any, single, mode, info, auth, doc;
    pb::put_bytes(key, 1, pub);
    const std::string url = "/cosmos.crypto.secp256k1.PubKey";
    pb::put_bytes(any, 1, {reinterpret_cast<const std::uint8_t*>(url.data()), url.size()});
    pb::put_bytes(any, 2, key);
    single = {0x08, 0x01};
    pb::put_bytes(mode, 1, single);
    pb::put_bytes(info, 1, any);
    pb::put_bytes(info, 2, mode);
    pb::put_bytes(auth, 1, info);
    pb::put_bytes(doc, 1, unhex("0a00"));
    pb::put_bytes(doc, 2, auth);
    const std::string chain = "cosmoshub-4";
    pb::put_bytes(doc, 3, {reinterpret_cast<const std::uint8_t*>(chain.data()), chain.size()});
    return doc;
}

Bytes solana_tx() {
    const auto payer = *qel_signer::ed25519::public_key(unhex(kEdHex));
    Bytes tx{0x01};
    tx.insert(tx.end(), 64, 0);
    put(tx, unhex("01000102"));
    tx.insert(tx.end(), payer.begin(), payer.end());
    tx.insert(tx.end(), 32, 0x07);  // the program
    tx.insert(tx.end(), 32, 0x09);  // the blockhash
    put(tx, unhex("010101000100"));  // one instruction: program 1, account 0, no data
    return tx;
}

void BM_SignAndEncodeVsSignTransaction(benchmark::State& state, const char* chain, std::string unsigned_tx) {
    const fs::path root = fs::temp_directory_path() / "qel-bench-transactions";
    fs::remove_all(root);
    if (!qel_lib::ops::import_wallet_private_key("signer", "", std::nullopt, kPass, root, std::string_view(kSecpHex),
                                                 std::string_view(kEdHex))) {
        state.SkipWithError("import failed");
        return;
    }
    // sign_transaction signs any bytes: give it the same ones.
    qel_bench::paired(
        state, 11,
        [&] {
            auto r = qel_lib::ops::sign_and_encode("signer", chain, unsigned_tx, kPass, std::nullopt, root);
            if (!r) state.SkipWithError(r.error().message().c_str());
        },
        [&] {
            const std::string hex = unsigned_tx.find_first_not_of("0123456789abcdef") == std::string::npos
                                        ? unsigned_tx
                                        : qel_signer::hex_encode(*qel_signer::base64_decode(unsigned_tx));
            auto r = qel_lib::ops::sign_transaction("signer", chain, hex, kPass, std::nullopt, root);
            if (!r) state.SkipWithError(r.error().message().c_str());
        });
    fs::remove_all(root);
}
BENCHMARK_CAPTURE(BM_SignAndEncodeVsSignTransaction, evm, "ethereum",
                  "ec808504a817c800825208943535353535353535353535353535353535353535880de0b6b3a764000080018080")
    ->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SignAndEncodeVsSignTransaction, solana, "solana", qel_signer::hex_encode(solana_tx()))
    ->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SignAndEncodeVsSignTransaction, bitcoin, "bitcoin", qel_signer::base64_encode(psbt(10)))
    ->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SignAndEncodeVsSignTransaction, cosmos, "cosmos", qel_signer::hex_encode(sign_doc()))
    ->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SignAndEncodeVsSignTransaction, tron, "tron",
                  "0a021234220800010203040506074080a0f1c2b1345a65080112610a2d747970652e676f6f676c65617069732e636f6d2f"
                  "70726f746f636f6c2e5472616e73666572436f6e747261637412300a1541c8599111f29c1e1e061265b4af93ea1f274ad7"
                  "8a1215415cbdd86a2fa8dc4bddd8a8f69dba48572eec07fb180170a0cbedc2b134")
    ->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SignAndEncodeVsSignTransaction, ton, "ton",
                  "b5ee9c720101020100160001217369676e7fffff110000000100000000a0010000")
    ->Iterations(1)->Unit(benchmark::kMillisecond);

// Reading a 10-input PSBT, checking it, the ten BIP-143 sighashes and the
// network serialization: everything of sign_psbt but the ECDSA signing.
void BM_Psbt10InputsParseAndEncode(benchmark::State& state) {
    namespace btc = qel_signer::chains::bitcoin;
    const Bytes bytes = psbt(10);
    const auto pub = *qel_signer::secp256k1::compressed_public_key(unhex(kSecpHex));
    const auto key_hash = qel_signer::hash160(pub);
    for (auto _ : state) {
        auto read = btc::read_psbt(bytes);
        if (!read || !btc::check_signable(*read)) state.SkipWithError("refused");
        for (std::size_t i = 0; i < read->inputs.size(); ++i) {
            benchmark::DoNotOptimize(btc::p2wpkh_sighash(read->tx, i, key_hash, read->inputs[i].witness_utxo->value));
        }
        benchmark::DoNotOptimize(btc::serialize_without_witness(read->tx));
    }
}
BENCHMARK(BM_Psbt10InputsParseAndEncode)->Unit(benchmark::kMicrosecond);

}  // namespace
