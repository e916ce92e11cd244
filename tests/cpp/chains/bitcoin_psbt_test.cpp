// The PSBT reader: each refusal once. What it reads (through describe),
// signing, finalizing and extracting are compared with embit in the Python
// tests.
#include "qel_signer/chains/bitcoin/psbt.hpp"

#include "../support.hpp"

namespace {

using qel_signer::chains::bitcoin::read_psbt;
using qel_test::unhex;

std::string byte_hex(std::size_t n) { return qel_signer::hex_encode(qel_signer::Bytes{static_cast<std::uint8_t>(n)}); }
// One key-value pair of a map (both shorter than 0xfd bytes), in hex.
std::string kv(const std::string& key, const std::string& value) {
    return byte_hex(key.size() / 2) + key + byte_hex(value.size() / 2) + value;
}
// version 2, one input spending 00..00:0 with `script_sig`, one P2WPKH output of 1000, locktime 0.
std::string tx(const std::string& script_sig = "") {
    return "0200000001" + std::string(64, '0') + "00000000" + byte_hex(script_sig.size() / 2) + script_sig + "ffffffff" +
           "01e80300000000000016" + "0014" + std::string(40, '1') + "00000000";
}
const std::string kUtxo = "8813000000000000160014" + std::string(40, '2');  // 5000 to a P2WPKH
std::string psbt(const std::string& global, const std::string& input, const std::string& tail = "00") {
    return "70736274ff" + global + "00" + input + "00" + tail;
}
const std::string kGlobal = kv("00", tx());
const std::string kInput = kv("01", kUtxo);

TEST(Psbt, RefusesEachFault) {
    const std::pair<std::string, const char*> rows[] = {
        {"70736275ff" + psbt(kGlobal, kInput).substr(10), "psbt: not a PSBT (wrong magic)"},
        {psbt("", kInput), "psbt: no unsigned transaction"},
        {psbt(kGlobal + kGlobal, kInput), "psbt: global map: duplicate key"},
        {psbt(kGlobal + kv("04", "01"), kInput), "psbt: global key 0x04 is a version 2 field"},
        {psbt(kGlobal + kv("fb", "02000000"), kInput), "psbt: only version 0 is supported"},
        {psbt(kv("0001", tx()), kInput), "psbt: global key 0x00 has key data"},
        {psbt(kv("00", tx("51")), kInput), "unsigned transaction: input 0 has a scriptSig"},
        {psbt(kv("00", "0200000000010100" + tx().substr(10)), kInput),
         "unsigned transaction: segwit serialization (an unsigned transaction has no witnesses)"},
        {psbt(kv("00", tx() + "00"), kInput), "unsigned transaction: trailing bytes after the transaction"},
        {psbt(kGlobal, kInput, ""), "output 0: truncated"},
        {psbt(kGlobal, kInput, "0000"), "psbt: trailing bytes after the last output"},
        {psbt(kGlobal, kv("08", "00")), "input 0: already finalized"},
        {psbt(kGlobal, kv("01", kUtxo + "00")), "input 0: malformed witness_utxo"},
        {psbt(kGlobal, kv("03", "0100")), "input 0: sighash type is not 4 bytes"},
        {psbt(kGlobal, kv("0102", kUtxo)), "input 0: key 0x01 has key data"},
        {psbt(kGlobal, kv("00", tx()) + kInput), "input 0: non_witness_utxo is not the transaction the input spends"},
        {psbt(kGlobal, kInput + "0105", ""), "input 0: truncated"},
        {"70736274ff0100fd0500" + tx() + "000000", "psbt: global map: non-minimal compact size"},
    };
    for (const auto& [bytes, text] : rows) EXPECT_EQ(qel_test::error_of(read_psbt(unhex(bytes))), text) << bytes;
}

}  // namespace
