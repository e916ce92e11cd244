#include "qel_lib/vault.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <random>
#include <set>

#include "qel_signer/envelope.hpp"
#include "support.hpp"

namespace {

namespace vault = qel_lib::vault;
using qel_core::EncryptedWallet;
using qel_test::error_of;
using qel_test::read_text;
using qel_test::write_text;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
using Names = std::vector<std::string>;

EncryptedWallet wallet(std::string id, std::string name, std::string created_at = "2025-01-01T00:00:00+00:00") {
    EncryptedWallet w;
    w.id = std::move(id);
    w.name = std::move(name);
    w.created_at = std::move(created_at);
    w.crypto = {{"cipher", "aes-256-gcm"}};
    return w;
}

unsigned mode_of(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

Names entries(const fs::path& dir) {
    Names names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

bool set_immutable(const fs::path& path, bool on) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY);
    int flags = 0;
    bool ok = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    ok = ok && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    if (fd >= 0) ::close(fd);
    return ok;
}

class VaultTest : public qel_test::TempDirTest {
protected:
    void TearDown() override {
        for (const fs::path& p : immutable_) set_immutable(p, false);
        TempDirTest::TearDown();
    }
    void save(const EncryptedWallet& w) {
        auto r = vault::save_encrypted_wallet(w, root());
        ASSERT_TRUE(r) << r.error().message();
    }
    // The listed ids, and the warnings written meanwhile.
    std::pair<Names, std::string> list() {
        CaptureStderr();
        auto listed = vault::list_encrypted_wallets(root());
        std::string warnings = GetCapturedStderr();
        Names ids;
        for (const auto& w : listed.value()) ids.push_back(w.id);
        return {ids, warnings};
    }
    fs::path root() const { return dir_ / "vault"; }
    fs::path wallets() const { return dir_ / "vault" / "wallets"; }
    std::vector<fs::path> immutable_;
};

TEST_F(VaultTest, FreshRootIsCreatedPrivateAndEmptyOrFailsWithNothingMade) {
    EXPECT_EQ(list(), (std::pair<Names, std::string>{}));
    EXPECT_EQ(mode_of(root()), 0700u);
    EXPECT_EQ(mode_of(wallets()), 0700u);

    fs::remove_all(root());
    write_text(root(), "not a directory");
    EXPECT_EQ(error_of(vault::list_encrypted_wallets(root())), "I/O error: Not a directory (os error 20)");
    EXPECT_EQ(error_of(vault::save_encrypted_wallet(wallet("a", "n"), root())),
              "I/O error: Not a directory (os error 20)");
    EXPECT_EQ(entries(dir_), Names{"vault"});
}

TEST_F(VaultTest, SaveWritesPrivatelyReplacesAndLeavesNoTemporary) {
    const mode_t old = ::umask(0);
    EncryptedWallet w = wallet("id-1", "first");
    save(w);
    ::umask(old);
    EXPECT_EQ(read_text(wallets() / "id-1.json"), w.to_file_text());
    EXPECT_EQ(mode_of(wallets() / "id-1.json"), 0600u);
    w.name = "renamed";
    save(w);
    EXPECT_EQ(read_text(wallets() / "id-1.json"), w.to_file_text());
    EXPECT_EQ(entries(wallets()), Names{"id-1.json"});

    // A link in the wallet's place is replaced, never written through.
    write_text(dir_ / "victim", "keep");
    fs::create_symlink(dir_ / "victim", wallets() / "id-2.json");
    save(wallet("id-2", "n"));
    EXPECT_EQ(read_text(dir_ / "victim"), "keep");
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(wallets() / "id-2.json")));

    // A failed rename (over a directory) leaves no temporary behind.
    fs::create_directories(wallets() / "id-3.json");
    EXPECT_EQ(error_of(vault::save_encrypted_wallet(wallet("id-3", "n"), root())),
              "I/O error: Is a directory (os error 21)");
    EXPECT_EQ(entries(wallets()), (Names{"id-1.json", "id-2.json", "id-3.json"}));
}

TEST_F(VaultTest, UnsafeIdsAreRefusedForSaveAndDelete) {
    for (const std::string& id : {std::string(), std::string("."), std::string(".."), std::string("a/b"),
                                 std::string("../x"), std::string("/abs"), std::string("a\0b", 3)}) {
        const std::string expected = "invalid input: unsafe wallet id: '" + id + "'";
        EXPECT_EQ(error_of(vault::save_encrypted_wallet(wallet(id, "n"), root())), expected);
        EXPECT_EQ(error_of(vault::delete_wallet_file(id, root())), expected);
    }
    EXPECT_EQ(entries(dir_), Names{});
    // A hand-edited file with such an id is still listed and found.
    ASSERT_TRUE(vault::wallets_dir(root()));
    write_text(wallets() / "x.json", wallet("../evil", "evil").to_file_text());
    EXPECT_EQ(vault::load_wallet_by_name_or_id("../evil", root()).value().name, "evil");
}

TEST_F(VaultTest, ListingSkipsWhatIsNotAWalletFile) {
    ASSERT_TRUE(vault::wallets_dir(root()));
    const std::string good = wallet("good", "g").to_file_text();
    write_text(wallets() / "good.json", good);
    write_text(wallets() / "x.y.json", wallet("dotted", "d").to_file_text());
    write_text(dir_ / "target", wallet("linked", "l").to_file_text());
    fs::create_symlink(dir_ / "target", wallets() / "link.json");
    // Ignored silently.
    for (const char* name : {"a.txt", "b.JSON", ".json", ".qel-save-0011223344556677.tmp"}) {
        write_text(wallets() / name, good);
    }
    fs::create_directory(wallets() / "sub");
    // Reported and skipped.
    fs::create_directory(wallets() / "dir.json");
    write_text(wallets() / "bad.json", "{\"id\":");
    fs::create_symlink(dir_ / "missing", wallets() / "dangling.json");
    ASSERT_EQ(::mkfifo((wallets() / "fifo.json").c_str(), 0600), 0);

    auto [ids, err] = list();
    EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()), (std::set<std::string>{"good", "dotted", "linked"}));
    std::set<std::string> lines;
    std::istringstream in(err);
    for (std::string line; std::getline(in, line);) lines.insert(line);
    const std::string w = "warning: skipping " + wallets().string() + "/";
    EXPECT_EQ(lines, (std::set<std::string>{
                         w + "bad.json: unexpected end of input at line 1 column 7",
                         w + "dangling.json: No such file or directory (os error 2)",
                         w + "dir.json: Is a directory (os error 21)",
                         w + "fifo.json: not a regular file",
                     }));
}

// Newest first by the time text, whatever the fraction's width; equal times
// keep the order the directory listing delivers.
TEST_F(VaultTest, ListingIsNewestFirstAndStableForEqualTimes) {
    save(wallet("old", "o", "2024-12-31T23:59:59.999999999+00:00"));
    save(wallet("whole", "w", "2025-01-31T08:15:02+00:00"));
    save(wallet("new", "n", "2025-01-31T08:15:02.250113+00:00"));
    for (int i = 0; i < 8; ++i) save(wallet("eq" + std::to_string(i), "e", "2025-01-31T08:15:02.250+00:00"));
    Names expected{"new"};
    for (const auto& e : fs::directory_iterator(wallets())) {
        if (std::string id = e.path().stem(); id.starts_with("eq")) expected.push_back(id);
    }
    expected.insert(expected.end(), {"whole", "old"});
    EXPECT_EQ(list().first, expected);
}

TEST_F(VaultTest, FindingPrefersIdsThenExactNamesAndDeletesByFileName) {
    for (const auto& w : {wallet("id-a", "twin"), wallet("id-b", "twin"), wallet("id-c", "id-a"), wallet("id-d", "Solo")}) {
        save(w);
    }
    const std::pair<std::string, std::string> cases[] = {  // input, id found or error
        {"id-b", "id-b"},
        {"id-a", "id-a"},  // a name equal to another wallet's id selects that id
        {"Solo", "id-d"},
        {"twin", "ambiguous wallet name 'twin' matches 2 wallets; use the wallet ID instead"},
        {"solo", "wallet not found: 'solo'"},
    };
    for (const auto& [input, expected] : cases) {
        auto r = vault::load_wallet_by_name_or_id(input, root());
        EXPECT_EQ(r ? r->id : error_of(r), expected);
    }
    EXPECT_TRUE(vault::wallet_name_exists("twin", root()).value());
    EXPECT_FALSE(vault::wallet_name_exists("id-b", root()).value());  // ids are not names

    // A file found under its inner id cannot be removed by it.
    write_text(wallets() / "other.json", wallet("inner", "two").to_file_text());
    EXPECT_EQ(error_of(vault::delete_wallet_file("inner", root())), "wallet not found: 'inner'");
    EXPECT_TRUE(vault::delete_wallet_file("id-a", root()));
    EXPECT_EQ(error_of(vault::delete_wallet_file("id-a", root())), "wallet not found: 'id-a'");
    EXPECT_EQ(entries(wallets()), (Names{"id-b.json", "id-c.json", "id-d.json", "other.json"}));
}

// Only directories of this user that are not shared are tightened; the
// others keep their mode and get the set-permissions warning.
TEST_F(VaultTest, ExistingRootIsTightenedOnlyWhenItIsOurs) {
    if (!qel_test::can_change_owners()) GTEST_SKIP() << "needs root to give directories away";
    const std::string refused = "warning: failed to set permissions on " + root().string() + ": ";
    const std::tuple<mode_t, uid_t, bool, unsigned, std::string> cases[] = {  // mode, owner, via link, kept, warning
        {0755, ::geteuid(), false, 0700, ""},
        {01777, ::geteuid(), false, 01777, refused + "it is a shared directory (sticky bit set)\n"},
        {0755, 65534, false, 0755, refused + "it belongs to another user (uid 65534)\n"},
        {0755, 65534, true, 0755, refused + "it belongs to another user (uid 65534)\n"},
    };
    for (const auto& [mode, owner, via_symlink, kept_mode, warning] : cases) {
        fs::remove_all(dir_ / "target");
        fs::remove_all(root());
        const fs::path dir = via_symlink ? dir_ / "target" : root();
        fs::create_directory(dir);
        if (via_symlink) fs::create_directory_symlink(dir, root());
        ASSERT_EQ(::chmod(dir.c_str(), mode), 0);
        ASSERT_EQ(::chown(dir.c_str(), owner, static_cast<gid_t>(-1)), 0);
        EXPECT_EQ(list().second, warning);
        EXPECT_EQ(mode_of(dir), kept_mode);
        EXPECT_EQ(mode_of(wallets()), 0700u);  // created here, so ours
    }
}

TEST_F(VaultTest, PermissionWarnings) {
    CaptureStderr();
    vault::set_dir_permissions(dir_ / "absent");
    vault::check_vault_permissions(dir_ / "absent");  // silent
    fs::create_directory(dir_ / "open");
    ::chmod((dir_ / "open").c_str(), 0755);
    vault::check_vault_permissions(dir_ / "open");
    ::chmod((dir_ / "open").c_str(), 02700);  // only the low nine bits count
    vault::check_vault_permissions(dir_ / "open");
    EXPECT_EQ(GetCapturedStderr(), "warning: failed to set permissions on " + (dir_ / "absent").string() +
                                       ": No such file or directory (os error 2)\n"
                                       "warning: " + (dir_ / "open").string() +
                                       " has permissions 0755, expected 0700\n");

    // Directories that cannot be changed (root may chmod anything, but not an
    // immutable directory) are warned about and still listed.
    save(wallet("id-1", "n"));
    ::chmod(root().c_str(), 0755);
    ::chmod(wallets().c_str(), 0755);
    if (!set_immutable(wallets(), true)) GTEST_SKIP() << "file system has no immutable flag";
    immutable_.push_back(wallets());
    ASSERT_TRUE(set_immutable(root(), true));
    immutable_.push_back(root());
    EXPECT_EQ(list(), (std::pair<Names, std::string>{
                          {"id-1"},
                          "warning: failed to set permissions on " + root().string() +
                              ": Operation not permitted (os error 1)\n"
                              "warning: failed to set permissions on " + wallets().string() +
                              ": Operation not permitted (os error 1)\n"
                              "warning: " + wallets().string() + " has permissions 0755, expected 0700\n"}));
}

TEST_F(VaultTest, SaveRemovesOnlyStaleTemporaries) {
    ASSERT_TRUE(vault::wallets_dir(root()));
    const auto plant = [&](const std::string& name, int age_seconds) {
        write_text(wallets() / name, "sealed copy");
        const timespec when[2] = {{::time(nullptr) - age_seconds, 0}, {::time(nullptr) - age_seconds, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, (wallets() / name).c_str(), when, 0), 0);
    };
    plant(".qel-save-00112233445566aa.tmp", 11 * 60);  // stale: removed
    plant(".qel-save-00112233445566bb.tmp", 9 * 60);   // a save may still be running
    plant(".qel-save-notours.tmp", 3600);              // not a name a save makes
    plant("notes.tmp", 3600);
    save(wallet("id-1", "n"));
    EXPECT_EQ(entries(wallets()),
              (Names{".qel-save-00112233445566bb.tmp", ".qel-save-notours.tmp", "id-1.json", "notes.tmp"}));
}

TEST_F(VaultTest, WriteLockExcludesWritersOnly) {
    const fs::path lock = wallets() / ".qel-lock";
    {
        auto held = vault::lock_for_writing(root());
        ASSERT_TRUE(held.has_value()) << held.error().message();
        EXPECT_EQ(error_of(vault::lock_for_writing(root(), std::chrono::milliseconds(50))),
                  "I/O error: timed out waiting for the vault lock " + lock.string() +
                      ": another process is writing to the vault");
        // Readers neither wait nor see the lock file.
        EXPECT_EQ(list(), (std::pair<Names, std::string>{}));
    }
    EXPECT_TRUE(vault::lock_for_writing(root(), std::chrono::milliseconds(0)));
    // A link planted in place of the lock file is not followed.
    fs::remove(lock);
    fs::create_symlink(dir_ / "elsewhere", lock);
    EXPECT_EQ(error_of(vault::lock_for_writing(root())),
              "I/O error: cannot open the vault lock " + lock.string() +
                  ": Too many levels of symbolic links (os error 40)");
    EXPECT_FALSE(fs::exists(dir_ / "elsewhere"));
}

// A process killed at any moment while saving must leave the old or the new
// file, never a torn one.
TEST_F(VaultTest, SaveSurvivesBeingKilledAtAnyMoment) {
    EncryptedWallet original = wallet("7d444840-9dc0-11d1-b245-5ffdce74fad2", "crash");
    // A real (cheaply sealed) envelope, so that the file is of realistic size.
    original.crypto =
        qel_signer::crypto::testing::encrypt_with_params(qel_test::to_bytes("secret"), "pass", 1024, 8, 1)->to_json();
    save(original);

    std::mt19937 rng(std::random_device{}());
    std::uniform_int_distribution<int> delay_us(0, 20'000);
    for (int round = 1; round <= 50; ++round) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            EncryptedWallet w = original;
            for (unsigned i = 0;; ++i) {
                // Alternate the length so a torn write could not pass for a whole file.
                w.name = (i % 2 == 0) ? "crash" : "crash-with-a-much-longer-name-" + std::to_string(i);
                if (!vault::save_encrypted_wallet(w, root())) ::_exit(1);
            }
        }
        ::usleep(static_cast<useconds_t>(delay_us(rng)));
        ::kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status)) << "saving failed in the child, round " << round;
        for (const auto& e : fs::directory_iterator(wallets())) {
            if (e.path().extension() != ".json") continue;
            auto parsed = EncryptedWallet::from_file_text(read_text(e.path()));
            ASSERT_TRUE(parsed.has_value()) << "round " << round << ": " << parsed.error();
            ASSERT_EQ(parsed->crypto, original.crypto);
        }
        ASSERT_EQ(list(), (std::pair<Names, std::string>{{original.id}, ""})) << "round " << round;
    }
    EXPECT_EQ(vault::load_wallet_by_name_or_id(original.id, root()).value().crypto, original.crypto);
}

}  // namespace
