// The strict protobuf reader and the messages read with it: what it accepts
// written back field by field is the input again (one encoding per message);
// the Tron and Cosmos readers, fed the same bytes, refuse in valid UTF-8.
#include "fuzz.hpp"
#include "qel_signer/chains/cosmos/sign_doc.hpp"
#include "qel_signer/chains/tron/transaction.hpp"
#include "qel_signer/protobuf.hpp"

namespace pb = qel_signer::protobuf;

FUZZ_TARGET {
    if (const auto fields = pb::read_fields(input)) {
        qel_signer::Bytes again;
        for (const pb::Field& f : *fields) {
            pb::put_varint(again, (std::uint64_t{f.number} << 3) | static_cast<std::uint8_t>(f.wire));
            switch (f.wire) {
                case pb::Wire::Varint: pb::put_varint(again, f.value); break;
                case pb::Wire::Fixed64:
                case pb::Wire::Fixed32:
                    for (int i = 0; i < (f.wire == pb::Wire::Fixed64 ? 8 : 4); ++i) {
                        again.push_back(static_cast<std::uint8_t>(f.value >> (8 * i)));
                    }
                    break;
                case pb::Wire::Bytes:
                    pb::put_varint(again, f.bytes.size());
                    again.insert(again.end(), f.bytes.begin(), f.bytes.end());
                    break;
            }
        }
        FUZZ_CHECK(again == qel_signer::Bytes(input.begin(), input.end()));
    }
    (void)fuzz::explained(qel_signer::chains::tron::read_raw_data(input));
    if (const auto doc = qel_signer::chains::cosmos::read_sign_doc(input); fuzz::explained(doc)) {
        FUZZ_CHECK(doc->public_key.size() == 33 && qel_core::is_valid_utf8(doc->chain_id));
    }
}
