// The wallet file reader: a file it accepts is written back to text that it
// reads to the same record, and its public-part reader agrees with it.
#include "fuzz.hpp"
#include "qel_core/wallet_file.hpp"

static bool same(const qel_core::EncryptedWallet& a, const qel_core::EncryptedWallet& b) {
    return a.qel_version == b.qel_version && a.id == b.id && a.name == b.name && a.created_at == b.created_at &&
           a.chain_type == b.chain_type && a.accounts == b.accounts && a.crypto == b.crypto &&
           a.key_type == b.key_type && a.metadata == b.metadata;
}

FUZZ_TARGET {
    auto wallet = qel_core::EncryptedWallet::from_file_text(text);
    qel_core::WalletFileReader reader;
    reader.buffer().assign(text);
    auto view = reader.read_public();
    auto full = reader.read();
    FUZZ_CHECK(view.has_value() == wallet.has_value() && full.has_value() == wallet.has_value());
    if (!wallet) {
        FUZZ_CHECK(view.error() == wallet.error() && full.error() == wallet.error());
        return;
    }
    FUZZ_CHECK(same(*full, *wallet) && view->id == wallet->id && view->name == wallet->name &&
               view->accounts.size() == wallet->accounts.size());
    auto again = qel_core::EncryptedWallet::from_file_text(wallet->to_file_text());
    FUZZ_CHECK(again.has_value() && same(*again, *wallet));
}
