#include "listing.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "frame.hpp"

namespace qel_py {

namespace {

bool is_ascii(std::string_view text) noexcept {
    const char* p = text.data();
    const std::size_t n = text.size();
    std::uint64_t bits = 0;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, p + i, 8);
        bits |= word;
    }
    for (; i < n; ++i) bits |= static_cast<unsigned char>(p[i]);
    return (bits & 0x8080808080808080ULL) == 0;
}

// A str of text the JSON parser has already checked to be UTF-8. ASCII (ids,
// addresses, times) is copied in as it is; anything else is decoded.
PyObject* str_of(std::string_view text) {
    const auto size = static_cast<Py_ssize_t>(text.size());
    if (!is_ascii(text)) return PyUnicode_DecodeUTF8(text.data(), size, nullptr);
    PyObject* str = PyUnicode_New(size, 127);
    if (str != nullptr && size != 0) std::memcpy(PyUnicode_1BYTE_DATA(str), text.data(), text.size());
    return str;
}

// Dictionaries with the same keys in the same order. (Copying a template
// and replacing its values costs more than inserting into a new one.)
template <std::size_t N>
class DictShape {
public:
    // False with an error set when a key cannot be made.
    bool init(const std::array<const char*, N>& names) {
        for (std::size_t i = 0; i < N; ++i) {
            keys_[i] = Ref{PyUnicode_InternFromString(names[i])};
            if (!keys_[i]) return false;
        }
        return true;
    }

    // The values are new references, consumed even on failure; nullptr among
    // them fails (with its error set).
    PyObject* make(const std::array<PyObject*, N>& values) const {
        std::array<Ref, N> owned;
        for (std::size_t i = 0; i < N; ++i) owned[i] = Ref{values[i]};
        for (const Ref& value : owned) {
            if (!value) return nullptr;
        }
        Ref dict{PyDict_New()};
        if (!dict) return nullptr;
        for (std::size_t i = 0; i < N; ++i) {
            if (PyDict_SetItem(dict.get(), keys_[i].get(), owned[i].get()) != 0) return nullptr;
        }
        return dict.release();
    }

    [[nodiscard]] PyObject* key(std::size_t i) const noexcept { return keys_[i].get(); }

private:
    std::array<Ref, N> keys_;
};

// Account dictionaries. Wallets mostly hold the same chain identifiers and
// derivation paths at the same positions; each such pair gets a template
// dictionary that already holds them (one shared str each, instead of
// thousands of equal ones), and an account is a copy of its template with the
// address put in, which costs less than filling a new dictionary. Pairs
// beyond the first kMaxTemplates are filled in directly.
class AccountDicts {
public:
    bool init() { return shape_.init({"chain_id", "address", "derivation_path"}); }

    // A new reference, or nullptr with an error set.
    PyObject* make(std::size_t position, const qel_core::WalletAccountView& a) {
        Ref address{str_of(a.address)};
        if (!address) return nullptr;
        const Template* t = find(position, a);
        if (t == nullptr) {
            if (PyErr_Occurred() != nullptr) return nullptr;
            return shape_.make({str_of(a.chain_id), address.release(), str_of(a.derivation_path)});
        }
        Ref dict{PyDict_Copy(t->dict.get())};
        if (!dict || PyDict_SetItem(dict.get(), shape_.key(1), address.get()) != 0) return nullptr;
        return dict.release();
    }

private:
    struct Template {
        std::string chain_id, derivation_path;
        Ref dict;
    };
    static constexpr std::size_t kMaxTemplates = 32;
    static constexpr std::size_t kNone = ~std::size_t{0};

    // The pair's template, made when there is room; nullptr when there is
    // none, or with an error set when it cannot be made.
    const Template* find(std::size_t position, const qel_core::WalletAccountView& a) {
        const auto matches = [&a](const Template& t) {
            return t.chain_id == a.chain_id && t.derivation_path == a.derivation_path;
        };
        if (position < last_.size() && last_[position] != kNone && matches(templates_[last_[position]])) {
            return &templates_[last_[position]];
        }
        std::size_t i = 0;
        while (i < templates_.size() && !matches(templates_[i])) ++i;
        if (i == templates_.size()) {
            if (i == kMaxTemplates) return nullptr;
            Ref dict{shape_.make({str_of(a.chain_id), Py_NewRef(Py_None), str_of(a.derivation_path)})};
            if (!dict) return nullptr;
            templates_.push_back({std::string(a.chain_id), std::string(a.derivation_path), std::move(dict)});
        }
        if (position >= last_.size()) last_.resize(position + 1, kNone);
        last_[position] = i;
        return &templates_[i];
    }

    DictShape<3> shape_;
    std::vector<Template> templates_;
    std::vector<std::size_t> last_;  // the template last used at each account position
};

// Keeps the cyclic garbage collector from running while a listing makes
// hundreds of thousands of objects that are all still in use.
class GcPause {
public:
    GcPause() : was_enabled_(PyGC_Disable() != 0) {}
    ~GcPause() {
        if (was_enabled_) PyGC_Enable();
    }
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;

private:
    bool was_enabled_;
};

class Listing {
public:
    bool init() {
        return wallet_.init({"id", "name", "accounts", "created_at"}) && accounts_.init();
    }

    // False with an error set when a dictionary cannot be made.
    bool add(const qel_core::WalletFileView& wallet) {
        Ref accounts{PyList_New(static_cast<Py_ssize_t>(wallet.accounts.size()))};
        if (!accounts) return false;
        for (std::size_t i = 0; i < wallet.accounts.size(); ++i) {
            PyObject* account = accounts_.make(i, wallet.accounts[i]);
            if (account == nullptr) return false;
            PyList_SET_ITEM(accounts.get(), static_cast<Py_ssize_t>(i), account);
        }
        Ref dict{wallet_.make(
            {str_of(wallet.id), str_of(wallet.name), accounts.release(), str_of(wallet.created_at)})};
        if (!dict) return false;
        // The sort compares copies of the times, kept side by side, rather
        // than the str objects scattered over the heap.
        const std::size_t at = times_.size();
        times_.append(wallet.created_at);
        listed_.push_back({at, wallet.created_at.size(), dict.get()});
        static_cast<void>(dict.release());  // now owned by listed_
        return true;
    }

    // The list, newest first; the listing is left empty.
    PyObject* finish() {
        const std::string_view times = times_;
        // Code point order is the byte order of the UTF-8 text.
        std::stable_sort(listed_.begin(), listed_.end(), [times](const Listed& a, const Listed& b) {
            return times.substr(a.at, a.size) > times.substr(b.at, b.size);
        });
        PyObject* list = PyList_New(static_cast<Py_ssize_t>(listed_.size()));
        if (list == nullptr) return nullptr;
        for (std::size_t i = 0; i < listed_.size(); ++i) {
            PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), listed_[i].dict);
        }
        listed_.clear();
        return list;
    }

    Listing() = default;
    Listing(const Listing&) = delete;
    Listing& operator=(const Listing&) = delete;
    ~Listing() {
        for (const Listed& l : listed_) Py_DECREF(l.dict);
    }

private:
    struct Listed {
        std::size_t at, size;  // the "created_at" text in times_
        PyObject* dict;        // owned
    };
    DictShape<4> wallet_;
    AccountDicts accounts_;
    std::vector<Listed> listed_;
    std::string times_;
};

// The public parts of wallets read while the interpreter lock is released,
// copied out of the reader's buffer (which the next file overwrites) and
// handed on as views once the lock is back.
class Batch {
public:
    void add(const qel_core::WalletFileView& w) {
        wallets_.push_back({put(w.id), put(w.name), put(w.created_at), accounts_.size(), w.accounts.size()});
        for (const qel_core::WalletAccountView& a : w.accounts) {
            accounts_.push_back({put(a.address), put(a.chain_id), put(a.derivation_path)});
        }
    }

    [[nodiscard]] std::size_t size() const noexcept { return wallets_.size(); }

    // Calls `take` with a view of each wallet in order, then empties the batch.
    template <class Take>
    void drain(Take take) {
        std::vector<qel_core::WalletAccountView> views;
        for (const Wallet& w : wallets_) {
            views.clear();
            for (std::size_t i = w.first_account; i < w.first_account + w.account_count; ++i) {
                const Account& a = accounts_[i];
                views.push_back({{}, text(a.address), text(a.chain_id), text(a.derivation_path)});
            }
            qel_core::WalletFileView view;
            view.id = text(w.id);
            view.name = text(w.name);
            view.created_at = text(w.created_at);
            view.accounts = views;
            take(view);
        }
        wallets_.clear();
        accounts_.clear();
        text_.clear();
    }

private:
    struct Piece {
        std::size_t at, size;
    };
    struct Wallet {
        Piece id, name, created_at;
        std::size_t first_account, account_count;
    };
    struct Account {
        Piece address, chain_id, derivation_path;
    };

    Piece put(std::string_view s) {
        const Piece piece{text_.size(), s.size()};
        text_.append(s);
        return piece;
    }
    [[nodiscard]] std::string_view text(Piece p) const { return std::string_view(text_).substr(p.at, p.size); }

    std::vector<Wallet> wallets_;
    std::vector<Account> accounts_;
    std::string text_;
};

// Wallets read between two visits to the interpreter: turning this many into
// objects takes well under a millisecond, so other threads wait no longer.
constexpr std::size_t kBatchSize = 128;

}  // namespace

PyObject* list_wallets_result(const qel_lib::ops::OptPath& vault) {
    Listing listing;
    if (!listing.init()) return nullptr;
    Batch batch;
    bool failed = false;
    // With the lock held: the batch's wallets become objects.
    const auto build = [&] {
        const GcPause pause;
        batch.drain([&](const qel_core::WalletFileView& wallet) {
            if (!failed && !listing.add(wallet)) failed = true;
        });
    };
    std::expected<void, qel_lib::QelLibError> r;
    {
        Released released;
        r = qel_lib::ops::visit_wallets(vault, [&](const qel_core::WalletFileView& wallet) {
            if (failed) return;
            batch.add(wallet);
            if (batch.size() >= kBatchSize) released.with_lock(build);
        });
        released.reacquire();
    }
    build();
    if (failed) return nullptr;
    if (!r) return raise_operation_error(r.error());
    return listing.finish();
}

}  // namespace qel_py
