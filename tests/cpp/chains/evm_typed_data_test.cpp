#include "qel_signer/chains/evm_typed_data.hpp"

#include "../support.hpp"

namespace {

using qel_signer::hex_encode;
using qel_signer::chains::evm::hash_typed_data;
using qel_test::error_of;
using qel_test::load_vectors;

// A document whose message is of type T with the given fields, under an empty domain.
std::string doc(const std::string& fields, const std::string& message) {
    return R"({"types":{"EIP712Domain":[],"T":[)" + fields + R"(]},"domain":{},"message":)" + message + "}";
}

TEST(TypedData, MailExampleAndIntegerForms) {
    for (const auto& v : load_vectors("eip712.json", "/vectors")) {
        const auto r = hash_typed_data(v["typed_data"].dump()).value();
        EXPECT_EQ(hex_encode(r.digest), v["signing_hash"].get<std::string>());
        EXPECT_EQ(r.chain_id, "1");
    }
    // Leading zeros, either hex case and members the type does not declare change nothing.
    const std::string u = R"({"name":"a","type":"uint256"},{"name":"b","type":"int8"})";
    EXPECT_EQ(hash_typed_data(doc(u, R"({"a":"0x00fF","b":"-128"})")).value().digest,
              hash_typed_data(doc(u, R"({"a":"000255","b":-128,"ignored":[1]})")).value().digest);
}

// A chain of struct types T0 { T1[] x } ... over `types` types, and a
// message of T0 nested `levels` deep through x.
std::string type_chain(int types, int levels) {
    std::string text = R"({"types":{)", message = R"({"x":[]})";
    for (int i = 0; i < types; ++i) {
        const std::string next = i + 1 < types ? "T" + std::to_string(i + 1) + "[]" : "bool";
        text += "\"T" + std::to_string(i) + R"(":[{"name":"x","type":")" + next + "\"}],";
    }
    for (int i = 0; i < levels; ++i) message = R"({"x":[)" + message + "]}";
    return text + R"("EIP712Domain":[]},"primaryType":"T0","domain":{},"message":)" + message + "}";
}

// A struct of `fields` fields f0... of type bool, or a domain of as many keys.
std::string wide(int fields, bool in_domain) {
    std::string types, values;
    for (int i = 0; i < fields; ++i) {
        types += (i ? "," : "") + std::string(R"({"name":"f)") + std::to_string(i) + R"(","type":"bool"})";
        values += (i ? "," : "") + std::string("\"f") + std::to_string(i) + "\":true";
    }
    if (!in_domain) return doc(types, "{" + values + "}");
    return R"({"types":{"EIP712Domain":[)" + types + R"(],"T":[]},"domain":{)" + values + R"(},"message":{}})";
}

// Hostile documents are refused or done in bounded work (timed in
// bench/typed_data.py); malformed ones name the place.
TEST(TypedData, RefusalsNameThePlaceAndHostileDocumentsAreBounded) {
    const std::string types = R"({"name":"children","type":"T[]"})";
    const auto nested = [](int levels) {
        std::string m = R"({"children":[]})";
        for (int i = 0; i < levels; ++i) m = R"({"children":[)" + m + "]}";
        return m;
    };
    std::string where = "message";
    for (int i = 0; i < 16; ++i) where += ".children[0]";
    const std::string a = R"({"name":"a","type":")";
    const auto one = [&](const std::string& type, const std::string& value) {
        return doc(a + type + R"("})", R"({"a":)" + value + "}");
    };
    std::string dims33;
    for (int i = 0; i < 33; ++i) dims33 += "[]";
    const std::string integer = R"(expected an integer (a JSON integer, a decimal string or a "0x" hex string))";
    std::vector<std::pair<std::string, std::string>> cases = {
        {doc(types, nested(15)), "<succeeded>"},
        {doc(types, nested(16)), where + ": nesting deeper than 32 levels"},
        {type_chain(19000, 12), "<succeeded>"},  // 0.8 MB of types, each level hashing another long chain
        {type_chain(19000, 13), "types: the encodings of the types used exceed 4 MiB"},
        {wide(22000, false), "<succeeded>"},  // about as many fields as 1 MiB holds
        {wide(22000, true), "<succeeded>"},
        {"[" + std::string(1024 * 1024 - 1, ' ') + "]", "typed data is larger than 1 MiB"},
        {"[" + std::string(1024 * 1024 - 2, ' ') + "]", "expected a JSON object with types, domain and message"},
        {"[]", "expected a JSON object with types, domain and message"},
        {R"({"domain":{},"message":{}})", "types: missing"},
        {R"({"types":[],"domain":{},"message":{}})", "types: expected an object of struct types"},
        {R"({"types":{"A B":[]},"domain":{},"message":{}})", "types: `A B` is not a valid type name"},
        {R"({"types":{"uint256":[]},"domain":{},"message":{}})", "types: `uint256` is an atomic type"},
        {R"({"types":{"T":{}},"domain":{},"message":{}})", "types.T: expected an array of fields"},
        {doc(R"({"name":"a"})", "{}"), "types.T[0]: expected an object with a string name and type"},
        {doc(R"({"name":"1a","type":"bool"})", "{}"), "types.T[0]: `1a` is not a valid field name"},
        {doc(R"({"name":"a","type":"bool"},{"name":"a","type":"bool"})", "{}"), "types.T: field `a` is declared twice"},
        {one("bool" + dims33, "[]"), "types.T.a: arrays nested deeper than 32 levels"},
        // Quoted input is escaped and cut short.
        {R"({"types":{"\u001b[2J)" + std::string(300, 'A') + R"(":[]},"domain":{},"message":{}})",
         "types: `\\x1b[2J" + std::string(196, 'A') + "\u2026` is not a valid type name"},
        {R"({"types":{"T":[]},"message":{}})", "domain: missing"},
        {R"({"types":{"T":[]},"domain":{}})", "message: missing"},
        {R"({"types":{"T":[]},"primaryType":"U","domain":{},"message":{}})", "primaryType: unknown type `U`"},
        {R"({"types":{"T":[],"U":[]},"domain":{},"message":{}})",
         "primaryType: not given, and the types do not single one out"},
        {R"({"types":{"T":[],"EIP712Domain":[]},"domain":{"name":"x"},"message":{}})",
         "domain.name: not declared in EIP712Domain"},
        {R"({"types":{"T":[]},"domain":{"chain":1},"message":{}})",
         "domain.chain: not an EIP712Domain field (name, version, chainId, verifyingContract, salt)"},
        {R"({"types":{"T":[]},"domain":{"chainId":1.0},"message":{}})", "domain.chainId: " + integer},
        {doc(a + R"(bool"})", "{}"), "message.a: missing"},
        {doc(a + R"(bool"})", "[]"), "message: expected an object of type T"},
        {one("bool", "1"), "message.a: expected true or false"},
        {one("string", "1"), "message.a: expected a string"},
        {one("address", R"("0x12")"), "message.a: expected an address (\"0x\" and 40 hex digits)"},
        {one("address", R"("0xCD2a3d9F938E13CD947Ec05AbC7FE734Df8DD827")"),
         "message.a: address fails its EIP-55 checksum"},
        {one("bytes", R"("abcd")"), "message.a: expected \"0x\" and an even number of hex digits"},
        {one("bytes", R"("0xabc")"), "message.a: expected \"0x\" and an even number of hex digits"},
        {one("bytes4", R"("0x010203")"), "message.a: expected 4 bytes, got 3"},
        {one("uint8", "256"), "message.a: 256 is out of range for uint8"},
        {one("uint8", "-1"), "message.a: -1 is out of range for uint8"},
        {one("int8", "128"), "message.a: 128 is out of range for int8"},
        {one("int8", R"("-129")"), "message.a: \"-129\" is out of range for int8"},
        {one("uint256", "1" + std::string(78, '0')),
         "message.a: 1" + std::string(78, '0') + " is out of range for uint256"},
        {one("string", "1" + std::string(30, '0')), "message.a: expected a string"},  // a number, however long
        {one("uint8", "1" + std::string(300, '0')), "message.a: 1" + std::string(199, '0') + "\u2026 is out of range for uint8"},
        {one("bool[]", "{}"), "message.a: expected an array"},
        {one("bool[2]", "[true,false,true]"), "message.a: expected 2 elements, got 3"},
        {one("bool[2][]", "[[true,false],[true]]"), "message.a[1]: expected 2 elements, got 1"},
    };
    for (const char* type : {"Persn", "uint7", "int264", "bytes33", "uint", "bool[01]", "bool[", "bool[]]"}) {
        cases.emplace_back(one(type, "1"), "types.T.a: unknown type `" + std::string(type) + "`");
    }
    for (const char* value : {"1.5", "1e3", R"("+5")", R"("0x")", "true"}) {
        cases.emplace_back(one("uint256", value), "message.a: " + integer);
    }
    for (const auto& [text, error] : cases) {
        EXPECT_EQ(error_of(hash_typed_data(text)), error) << text.substr(0, 300);
    }
    EXPECT_TRUE(error_of(hash_typed_data("{")).starts_with("not valid JSON: "));
}

}  // namespace
