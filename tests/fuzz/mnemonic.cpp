// The mnemonic parser: a phrase it accepts renders back to the same words.
#include "fuzz.hpp"
#include "qel_signer/mnemonic.hpp"

FUZZ_TARGET {
    auto mnemonic = qel_signer::Mnemonic::from_phrase(text);
    if (!mnemonic) {
        FUZZ_CHECK(mnemonic.error().kind == qel_signer::MnemonicError::Kind::InvalidPhrase);
        return;
    }
    const std::size_t words = mnemonic->word_count();
    FUZZ_CHECK(words >= 12 && words <= 24 && words % 3 == 0);
    const auto rendered = mnemonic->phrase();
    FUZZ_CHECK(fuzz::text(rendered.data(), rendered.size()) == text);
}
