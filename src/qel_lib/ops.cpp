// Temporary stubs so the module links while the operations are written.
#include "ops.hpp"

namespace qel_lib::ops {

namespace {
QelLibError todo() { return QelLibError::invalid_input("not implemented yet"); }
}  // namespace

std::expected<std::string, QelLibError> generate_mnemonic(std::uint32_t words) {
    if (words != 12 && words != 24) return std::unexpected(QelLibError::invalid_input("words must be 12 or 24"));
    return std::unexpected(todo());
}
std::expected<std::string, QelLibError> derive_address(std::string_view, std::string_view, OptIndex) { return std::unexpected(todo()); }
std::expected<WalletInfo, QelLibError> create_wallet(std::string_view, OptText, OptIndex, const OptPath&) { return std::unexpected(todo()); }
std::expected<WalletInfo, QelLibError> import_wallet_mnemonic(std::string_view, std::string_view, OptText, OptIndex, const OptPath&) { return std::unexpected(todo()); }
std::expected<WalletInfo, QelLibError> import_wallet_private_key(std::string_view, std::string_view, OptText, OptText, const OptPath&, OptText, OptText) { return std::unexpected(todo()); }
std::expected<std::vector<WalletInfo>, QelLibError> list_wallets(const OptPath&) { return std::vector<WalletInfo>{}; }
std::expected<WalletInfo, QelLibError> get_wallet(std::string_view n, const OptPath&) { return std::unexpected(QelLibError::wallet_not_found(std::string(n))); }
std::expected<void, QelLibError> delete_wallet(std::string_view n, const OptPath&) { return std::unexpected(QelLibError::wallet_not_found(std::string(n))); }
std::expected<void, QelLibError> rename_wallet(std::string_view n, std::string_view, const OptPath&) { return std::unexpected(QelLibError::wallet_not_found(std::string(n))); }
std::expected<std::string, QelLibError> export_wallet(std::string_view n, OptText, const OptPath&) { return std::unexpected(QelLibError::wallet_not_found(std::string(n))); }
std::expected<SignResult, QelLibError> sign_transaction(std::string_view, std::string_view, std::string_view, OptText, OptIndex, const OptPath&) { return std::unexpected(todo()); }
std::expected<SignResult, QelLibError> sign_message(std::string_view, std::string_view, std::string_view, OptText, OptText, OptIndex, const OptPath&) { return std::unexpected(todo()); }
std::expected<std::string, QelLibError> sign_and_send(std::string_view, std::string_view, std::string_view, OptText, OptIndex, OptText, const OptPath&) { return std::unexpected(todo()); }

}  // namespace qel_lib::ops
