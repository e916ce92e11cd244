# Turns the word list (one word per line) into a C++ source defining
# qel_signer::detail::kBip39EnglishText, the list's exact bytes.
file(READ "${INPUT}" content HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${content}")
file(WRITE "${OUTPUT}"
"// Generated from data/bip39-english.txt; do not edit.\n"
"#include <cstddef>\n"
"namespace qel_signer::detail {\n"
"extern const char kBip39EnglishText[];\n"
"extern const std::size_t kBip39EnglishTextSize;\n"
"const char kBip39EnglishText[] = {${bytes}};\n"
"const std::size_t kBip39EnglishTextSize = sizeof(kBip39EnglishText);\n"
"}\n")
