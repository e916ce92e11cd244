// The raw_data reader (and through it the strict protobuf reader): each
// refusal once. Signing and encoding are compared with tronpy in the Python
// tests.
#include "qel_signer/chains/tron/transaction.hpp"

#include "../support.hpp"

namespace {

using qel_signer::chains::tron::read_raw_data;
using qel_test::unhex;

// A TransferContract of 1 sun, as tronpy's protobuf classes serialize it.
constexpr const char* kTransfer =
    "0a021234220800010203040506074080a0f1c2b1345a65080112610a2d747970652e676f6f676c65617069732e636f6d2f70726f746f636f"
    "6c2e5472616e73666572436f6e747261637412300a1541c8599111f29c1e1e061265b4af93ea1f274ad78a1215415cbdd86a2fa8dc4bddd8"
    "a8f69dba48572eec07fb180170a0cbedc2b134";

TEST(TronRawData, ReadsWhatAPersonChecks) {
    const auto raw = unhex(kTransfer);
    const auto read = read_raw_data(raw).value();
    EXPECT_EQ(read.contract_type, 1u);
    EXPECT_EQ(read.type_url, "type.googleapis.com/protocol.TransferContract");
    EXPECT_EQ(read.expiration, 1800000000000u);
    EXPECT_EQ(read.parameter.size(), 48u);
}

TEST(TronRawData, RefusesEachFault) {
    const std::pair<std::string, const char*> rows[] = {
        {"", "empty raw_data"}, {"0a0212340a021234", "raw_data: field 1: more than once"},
        {"4000", "raw_data: field 8: default value written out"}, {"4880", "raw_data: truncated varint"},
        {"40ff00", "raw_data: non-canonical varint"}, {"4a00", "raw_data: unknown field 9"},
        {"40ffffffffffffffffff02", "raw_data: varint longer than 64 bits"},
        {"40010a021234", "raw_data: fields out of order (1 after 8)"},
        {"0b", "raw_data: unsupported wire type 3 (field 1)"}, {"0801", "raw_data: field 1: wrong wire type"},
        {"0a0512", "raw_data: truncated field 1"}, {"02", "raw_data: invalid field number"},
        {"4001", "raw_data: expected one contract, got 0"},
        {"5a0208015a020801", "raw_data: expected one contract, got 2"},
        {"5a020801", "contract: no parameter"}, {"5a023001", "contract: unknown field 6"},
        {"5a0412021801", "parameter: unknown field 3"},
    };
    for (const auto& [raw, text] : rows) EXPECT_EQ(qel_test::error_of(read_raw_data(unhex(raw))), text) << raw;
}

}  // namespace
