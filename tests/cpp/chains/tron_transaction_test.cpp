// The raw_data reader (and through it the strict protobuf reader): each
// refusal once. What it reads, signing and encoding are compared with tronpy
// in the Python tests.
#include "qel_signer/chains/tron/transaction.hpp"

#include "../support.hpp"

namespace {

using qel_signer::chains::tron::read_raw_data;
using qel_test::unhex;

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
