// The bag-of-cells reader: hashes as TON computes them, the one form written,
// and each refusal once. The root hashes come from an independent library
// (pytoniq-core).
#include "qel_signer/chains/ton/boc.hpp"

#include "../support.hpp"

namespace {

using namespace qel_signer::chains::ton;
using qel_signer::Bytes;
using qel_signer::hex_encode;
using qel_test::error_of;
using qel_test::unhex;

constexpr const char* kRootHash = "882cad663fbc9212f54b9d99885df56e9099c527235cfff8f836c0dd5ae336f7";

TEST(Boc, ReadsEitherLayoutHashesAndWritesTheCanonicalOne) {
    for (const char* boc : {"b5ee9c72010102010007000102880100013c",
                            "b5ee9c72c101020100070004070102880100013c7c8efdcc"}) {  // with index and CRC-32C
        const Boc read = read_boc(unhex(boc)).value();
        EXPECT_EQ(hex_encode(read.cells[0].hash), kRootHash);
        EXPECT_EQ(read.cells[0].depth, 1);
        EXPECT_EQ(read.cells[1].bits, 5u);
        EXPECT_EQ(hex_encode(write_boc(read)), "b5ee9c72410102010007000102880100013cd0f3b5ce");
    }
}

TEST(Boc, RefusesEachFault) {
    const std::pair<const char*, const char*> rows[] = {
        {"b5ee9c73010102010007000102880100013c", "not a bag of cells (wrong magic)"},
        {"b5ee9c72010102010007000102880100013c00", "trailing bytes after the bag of cells"},
        {"b5ee9c72c101020100070004070102880100013c7c8efdcd", "CRC-32C does not match"},
        {"b5ee9c72210102010007000102880100013c", "unsupported bag of cells flags (cache bits or reserved bits)"},
        {"b5ee9c72000102010007000102880100013c", "invalid reference size 0"},
        {"b5ee9c72010002010007000102880100013c", "invalid offset size 0"},
        {"b5ee9c72010102020007000102880100013c", "expected one root, got 2"},
        {"b5ee9c72010102010107000102880100013c", "absent cells are not supported"},
        {"b5ee9c72010102010007010102880100013c", "the root must be the first cell"},
        {"b5ee9c72010102010007000102880000013c", "cell 0: reference 0 does not point forward"},
        {"b5ee9c72010102010007000902880100013c", "cell 0: exotic or higher-level cells are not supported"},
        {"b5ee9c72010102010007000502880100013c", "cell 0: more than 4 references"},
        {"b5ee9c72010102010007000102880100010000", "cell 1: missing completion bit"},
        {"b5ee9c720101020100060000028800013c", "cell 1 is not reachable from the root"},
        {"b5ee9c72010102010008000102880100013c00", "declared cell data size does not match the cells"},
        {"b5ee9c72010100010000", "cell count 0 out of range"},
        {"b5ee9c72c101020100070004030102880100013c", "cell 1: index does not match the cell's end"},
        {"b5ee9c72010102010007000101800100013c", "cell 0: non-canonical completion bit"},
        {"b5ee9c", "truncated bag of cells"},
    };
    for (const auto& [boc, text] : rows) EXPECT_EQ(error_of(read_boc(unhex(boc))), text) << boc;
    EXPECT_EQ(error_of(read_boc(Bytes(kMaxBocBytes + 1, 0))), "bag of cells larger than 65536 bytes");
}

}  // namespace
