// verify_message against a bare libsecp256k1 key recovery, and
// sign_typed_data against sign_message, each pair alternated in one run.
// verify_message should stay well below 0.2 ms a call; typed-data signing
// should cost what message signing costs (both are dominated by the unlock).
#include <benchmark/benchmark.h>
#include <secp256k1.h>
#include <secp256k1_recovery.h>

#include <array>
#include <filesystem>
#include <string>

#include "paired.hpp"
#include "qel_lib/ops.hpp"
#include "qel_signer/encoding.hpp"
#include "qel_signer/hash.hpp"
#include "qel_signer/signer.hpp"

namespace {

namespace fs = std::filesystem;
using qel_core::ChainType;

const std::string kMessage = "Sign in to example.org at 2024-01-01T00:00:00Z";
const qel_signer::Bytes kKey(32, 0x42);

// The bare step verification cannot do without: recovering the public key
// from a 65-byte r || s || recid signature of a 32-byte digest.
void bare_recover(const secp256k1_context* ctx, const qel_signer::Hash32& digest, const qel_signer::Bytes& sig) {
    secp256k1_ecdsa_recoverable_signature parsed;
    secp256k1_pubkey pub;
    (void)secp256k1_ecdsa_recoverable_signature_parse_compact(ctx, &parsed, sig.data(), sig[64] % 27);
    benchmark::DoNotOptimize(secp256k1_ecdsa_recover(ctx, &pub, &parsed, digest.data()));
    benchmark::DoNotOptimize(pub);
}

void BM_VerifyMessageVsRecover(benchmark::State& state, ChainType family, const char* chain) {
    static secp256k1_context* const ctx = secp256k1_context_create(SECP256K1_CONTEXT_VERIFY);
    const auto signer = qel_signer::signer_for_chain(family);
    const auto address = *signer->derive_address(kKey);
    const qel_signer::ByteSpan message(reinterpret_cast<const std::uint8_t*>(kMessage.data()), kMessage.size());
    const auto sig = *signer->sign_message(kKey, message);
    const std::string sig_hex = qel_signer::hex_encode(sig.signature);
    const qel_signer::Hash32 digest = qel_signer::sha256(message);  // any digest: the work is the same
    qel_bench::paired(
        state, 2000,
        [&] {
            auto ok = qel_lib::ops::verify_message(chain, kMessage, sig_hex, std::string_view(address), std::nullopt,
                                                   std::nullopt);
            if (!ok || !*ok) state.SkipWithError("verification failed");
        },
        [&] { bare_recover(ctx, digest, sig.signature); });
}
BENCHMARK_CAPTURE(BM_VerifyMessageVsRecover, evm, ChainType::Evm, "ethereum")->Iterations(1)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_VerifyMessageVsRecover, bitcoin, ChainType::Bitcoin, "bitcoin")
    ->Iterations(1)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_VerifyMessageVsRecover, cosmos, ChainType::Cosmos, "cosmos")
    ->Iterations(1)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_VerifyMessageVsRecover, tron, ChainType::Tron, "tron")->Iterations(1)->Unit(benchmark::kMicrosecond);

// The EIP-712 example message.
const char* const kMail = R"({"types":{"EIP712Domain":[{"name":"name","type":"string"},{"name":"version","type":"string"},
{"name":"chainId","type":"uint256"},{"name":"verifyingContract","type":"address"}],"Person":[{"name":"name",
"type":"string"},{"name":"wallet","type":"address"}],"Mail":[{"name":"from","type":"Person"},{"name":"to",
"type":"Person"},{"name":"contents","type":"string"}]},"primaryType":"Mail","domain":{"name":"Ether Mail",
"version":"1","chainId":1,"verifyingContract":"0xCcCCccccCCCCcCCCCCCcCcCccCcCCCcCcccccccC"},"message":{"from":
{"name":"Cow","wallet":"0xCD2a3d9F938E13CD947Ec05AbC7FE734Df8DD826"},"to":{"name":"Bob","wallet":
"0xbBbBBBBbbBBBbbbBbbBbbbbBBbBbbbbBbBbbBBbB"},"contents":"Hello, Bob!"}})";

void BM_SignTypedDataVsSignMessage(benchmark::State& state) {
    const fs::path root = fs::temp_directory_path() / "qel-bench-typed";
    fs::remove_all(root);
    if (!qel_lib::ops::create_wallet("signer", std::string_view("bench passphrase"), std::nullopt, root)) {
        state.SkipWithError("create_wallet failed");
        return;
    }
    const std::string_view pass("bench passphrase");
    qel_bench::paired(
        state, 8,
        [&] {
            auto sig = qel_lib::ops::sign_typed_data("signer", "ethereum", kMail, pass, std::nullopt, root);
            if (!sig) state.SkipWithError(sig.error().message().c_str());
        },
        [&] {
            auto sig = qel_lib::ops::sign_message("signer", "ethereum", kMessage, pass, std::nullopt, std::nullopt,
                                                  root);
            if (!sig) state.SkipWithError(sig.error().message().c_str());
        });
    fs::remove_all(root);
}
BENCHMARK(BM_SignTypedDataVsSignMessage)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
