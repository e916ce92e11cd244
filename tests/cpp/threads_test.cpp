// Operations from several threads on one vault at once, each thread with its
// own call scope (a copy of the environment and a stop check). Also built
// with ThreadSanitizer (make tsan), where any data race fails the run.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "qel_core/call_context.hpp"
#include "qel_lib/ops.hpp"
#include "qel_lib/vault.hpp"
#include "support.hpp"

namespace {

namespace ops = qel_lib::ops;
using qel_test::TempDirTest;

constexpr int kThreads = 4;
constexpr int kCopies = 100;  // more than the listing reads before its read-ahead thread starts

class Threads : public TempDirTest {};

TEST_F(Threads, OperationsOnOneVaultAtOnce) {
    const ops::OptPath vault = dir_ / "vault";
    const std::string key(64, '1');
    const auto base = ops::import_wallet_private_key("base", key, std::nullopt, "pw", vault, std::nullopt, std::nullopt);
    ASSERT_TRUE(base.has_value());
    // Copies of the sealed file, so that the writers need no sealing of their own.
    const std::string text = qel_test::read_text(dir_ / "vault" / "wallets" / (base->id + ".json"));
    std::vector<std::vector<std::string>> copies(kThreads);
    for (int i = 0; i < kCopies; ++i) {
        const std::string id = "00000000-0000-4000-8000-" + std::string(9, '0') + std::to_string(100 + i);
        std::string copy = text;
        copy.replace(copy.find(base->id), base->id.size(), id);
        copy.replace(copy.find("\"base\""), 6, "\"c" + std::to_string(i) + "\"");
        qel_test::write_text(dir_ / "vault" / "wallets" / (id + ".json"), copy);
        copies[static_cast<std::size_t>(i % kThreads)].push_back(id);
    }

    std::atomic<int> unexpected{0};
    const auto check = [&](const auto& r) {
        const std::string why = qel_test::error_of(r);
        if (r.has_value() || why.starts_with("wallet name already exists: 'race")) return;
        ADD_FAILURE() << why;
        ++unexpected;
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const auto environment = qel_core::Environment::capture();
            const qel_core::CallScope scope(environment, [] { return false; });
            auto& mine = copies[static_cast<std::size_t>(t)];
            for (int i = 0; i < 24; ++i) {
                const std::string race = "race" + std::to_string(i % 3), own = "t" + std::to_string(t * 100 + i);
                switch (i % 6) {
                    case 0: check(ops::rename_wallet(mine.back(), race, vault)); break;
                    case 1: check(ops::delete_wallet(mine.back(), vault)), mine.pop_back(); break;
                    case 2: check(ops::list_wallets(vault)); break;
                    case 3: check(ops::get_wallet(mine.front(), vault)); break;
                    case 4: check(ops::rename_wallet(mine.front(), own, vault)); break;
                    default:  // one unlock per thread: scrypt is the slow part
                        if (i == 5) check(ops::sign_message("base", "ethereum", "m", "pw", {}, {}, vault));
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(unexpected.load(), 0);

    const auto listed = ops::list_wallets(vault);
    ASSERT_TRUE(listed.has_value());
    std::set<std::string> names, ids{base->id};
    for (const auto& mine : copies) ids.insert(mine.begin(), mine.end());
    std::set<std::string> listed_ids;
    for (const auto& w : *listed) {
        EXPECT_TRUE(names.insert(w.name).second) << "name twice: " << w.name;
        listed_ids.insert(w.id);
    }
    EXPECT_EQ(listed_ids, ids);
}

}  // namespace
