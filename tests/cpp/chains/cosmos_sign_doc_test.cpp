// The SignDoc reader: each refusal once. What it reads, signing and the TxRaw
// are compared with cosmpy in the Python tests.
#include "qel_signer/chains/cosmos/sign_doc.hpp"

#include "../support.hpp"

namespace {

using qel_signer::chains::cosmos::read_sign_doc;
using qel_test::unhex;

// Pieces of a SignDoc of body "x" (0a0178), one signer with key 02 11..11 in
// SIGN_MODE_DIRECT, gas 200000, chain "cosmoshub-4", account 7.
const std::string kPubKeyAny =
    "0a1f2f636f736d6f732e63727970746f2e736563703235366b312e5075624b657912230a21021111111111111111111111111111111111"
    "111111111111111111111111111111";
const std::string kChain = "1a0b636f736d6f736875622d34";
// The body and the start of an auth_info of one signer, and from the fee on.
const std::string kHead = "0a030a017812560a4e0a46" + kPubKeyAny;
const std::string kTail = "120410c09a0c" + kChain + "2007";

TEST(CosmosSignDoc, RefusesEachFault) {
    const std::pair<std::string, const char*> rows[] = {
        {"", "empty sign doc"},
        {"0a030a0178" + kChain + "2007", "sign doc: no auth_info"},
        {kHead + "12040a020801120410c09a0c2007", "sign doc: no chain_id"},
        {kHead + "12040a020801120410c09a0c1a01ff2007", "sign doc: chain_id is not UTF-8"},
        {kHead + "12040a020801120410c09a0c" + kChain + "2000", "sign doc: field 4: default value written out"},
        {"0a030a017812a6010a4e0a46" + kPubKeyAny + "12040a0208010a4e0a46" + kPubKeyAny + "12040a020801" + kTail,
         "auth_info: expected one signer, got 2"},
        {"0a030a0178120e0a0612040a020801" + kTail, "signer info: no public key"},
        {"0a030a017812500a480a46" + kPubKeyAny + kTail, "signer info: no mode info"},
        {kHead + "120412020a00" + kTail, "mode info: expected a single signer's mode"},
        {kHead + "12040a02087f" + kTail, "mode info: expected SIGN_MODE_DIRECT (1), got 127"},
        {"0a030a017812540a4c0a440a1d2f636f736d6f732e63727970746f2e656432353531392e5075624b657912230a2102" +
             std::string(64, '1') + "12040a020801" + kTail,
         "public key: expected type /cosmos.crypto.secp256k1.PubKey"},
        {"0a030a017812550a4d0a450a1f2f636f736d6f732e63727970746f2e736563703235366b312e5075624b657912220a2002" +
             std::string(62, '1') + "12040a020801" + kTail,
         "public key: expected 33 bytes"},
        {"0a030a017812590a510a490a1f2f636f736d6f732e63727970746f2e736563703235366b312e5075624b657912260a2102" +
             std::string(64, '1') + "12017812040a020801" + kTail,
         "public key: unknown field 2"},
    };
    for (const auto& [doc, text] : rows) EXPECT_EQ(qel_test::error_of(read_sign_doc(unhex(doc))), text) << doc;
}

}  // namespace
