// The settings store on its own and through the services: typed values,
// patterns, and what happens with several processes, a killed writer, a lock
// that outlasts the timeout, and a file that is not a database.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <random>
#include <string>

#include <fmt/format.h>

#include "Host/src/HostInternal.h"
#include "TestSupport.h"
#include "pictra/SettingsStore.h"

namespace pictra::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

class SettingsStoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char folder[] = "/tmp/pictra-store-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        folder_ = folder;
        path_ = (folder_ / "settings.db").string();
    }
    void TearDown() override { fs::remove_all(folder_); }

    static std::string FileBytes(const std::string& path)
    {
        std::ifstream file(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(file), {}};
    }
    void WriteGarbage(const std::string& path, std::streamoff at = 0)
    {
        std::mt19937 random(7);
        std::string garbage(8192, '\0');
        for (char& c : garbage)
            c = char(random());
        std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out | (at ? std::ios::openmode() : std::ios::trunc));
        file.seekp(at);
        file.write(garbage.data(), std::streamsize(garbage.size()));
    }

    fs::path folder_;
    std::string path_;
};

TEST_F(SettingsStoreTest, ValuesKeepTheirTypeAndAnotherTypeIsAbsent)
{
    SettingsStore store(path_);
    EXPECT_EQ(store.getInt(kStoreNamespace, "missing"), std::nullopt);
    EXPECT_FALSE(fs::exists(path_)) << "reading a store that does not exist creates nothing";

    const StoreBytes bytes{0, 1, 0xFF, 0, 7};
    store.set(kStoreNamespace, "text", std::string("caf\xC3\xA9 \"x\""));
    store.set(kStoreNamespace, "empty", std::string());
    store.set(kStoreNamespace, "int", std::numeric_limits<int32_t>::min());
    store.set(kStoreNamespace, "double", -0.1);
    store.set(kStoreNamespace, "nan", std::nan(""));
    store.set(kStoreNamespace, "bytes", bytes);
    store.set(kStoreNamespace, "no bytes", StoreBytes{});
    store.set(FourCC("othr"), "int", 5);

    SettingsStore reopened(path_);
    EXPECT_EQ(reopened.getString(kStoreNamespace, "text"), "caf\xC3\xA9 \"x\"");
    EXPECT_EQ(reopened.getString(kStoreNamespace, "empty"), "");
    EXPECT_EQ(reopened.getInt(kStoreNamespace, "int"), std::numeric_limits<int32_t>::min());
    EXPECT_EQ(reopened.getDouble(kStoreNamespace, "double"), -0.1);
    ASSERT_TRUE(reopened.getDouble(kStoreNamespace, "nan"));
    EXPECT_TRUE(std::isnan(*reopened.getDouble(kStoreNamespace, "nan")));
    EXPECT_EQ(reopened.getBytes(kStoreNamespace, "bytes"), bytes);
    EXPECT_EQ(reopened.getBytes(kStoreNamespace, "no bytes"), StoreBytes{});
    EXPECT_EQ(reopened.getInt(FourCC("othr"), "int"), 5) << "namespaces are separate";

    EXPECT_EQ(reopened.getInt(kStoreNamespace, "text"), std::nullopt);
    EXPECT_EQ(reopened.getString(kStoreNamespace, "int"), std::nullopt);
    EXPECT_EQ(reopened.getDouble(kStoreNamespace, "int"), std::nullopt);
    EXPECT_EQ(reopened.getBytes(kStoreNamespace, "empty"), std::nullopt);

    reopened.set(kStoreNamespace, "int", 2.5);
    EXPECT_EQ(reopened.getInt(kStoreNamespace, "int"), std::nullopt) << "a value takes the type it was last written with";
    EXPECT_EQ(reopened.getDouble(kStoreNamespace, "int"), 2.5);
}

TEST_F(SettingsStoreTest, PatternsArePrefixesWhateverCharactersTheyHold)
{
    SettingsStore store(path_);
    for (const char* key : {"a[1]x", "a[1]y", "a1x", "a?b", "aXb", "a*", "a*c", "ab", "b", "Zed"})
        store.set(kStoreNamespace, key, 1);

    EXPECT_THAT(store.enumerate(kStoreNamespace, "a[1]*"), ElementsAre("a[1]x", "a[1]y"));
    EXPECT_THAT(store.enumerate(kStoreNamespace, "a?*"), ElementsAre("a?b"));
    EXPECT_THAT(store.enumerate(kStoreNamespace, "a**"), ElementsAre("a*", "a*c"));
    EXPECT_THAT(store.enumerate(kStoreNamespace, "a[1]x"), ElementsAre("a[1]x")) << "no star: one exact key";
    EXPECT_THAT(store.enumerate(kStoreNamespace, "*"),
                ElementsAre("Zed", "a*", "a*c", "a1x", "a?b", "aXb", "a[1]x", "a[1]y", "ab", "b"))
        << "byte order";
    EXPECT_TRUE(store.enumerate(FourCC("othr"), "*").empty());

    EXPECT_EQ(store.deleteKeys(kStoreNamespace, "a[1]*"), 2);
    EXPECT_EQ(store.deleteKeys(kStoreNamespace, "a?"), 0);
    EXPECT_THAT(store.enumerate(kStoreNamespace, "a*"), ElementsAre("a*", "a*c", "a1x", "a?b", "aXb", "ab"));

    store.set(kStoreNamespace, "a?b", std::string("moved"));
    EXPECT_TRUE(store.rename(kStoreNamespace, "a?b", "ab"));
    EXPECT_EQ(store.getString(kStoreNamespace, "ab"), "moved") << "a rename replaces what the new key held";
    EXPECT_EQ(store.get(kStoreNamespace, "a?b"), std::nullopt);
    EXPECT_FALSE(store.rename(kStoreNamespace, "gone", "ab"));
    EXPECT_EQ(store.getString(kStoreNamespace, "ab"), "moved");
}

TEST_F(SettingsStoreTest, ServicesCutStringsDeliverFittingBytesAndListKeysInOneBlock)
{
    Host host(HostSettings{.settingsPath = path_});
    ActiveScope scope(&host, nullptr);
    const HostCallbackTable& services = *CallbackTable();
    services.SetStoreString(kStoreNamespace, "name", "hello world");
    const uint8_t bytes[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    services.SetStoreBytes(kStoreNamespace, "block", sizeof bytes, bytes);
    services.SetStoreInt(kStoreNamespace, "count", 3);

    char text[6] = "-----";
    EXPECT_EQ(services.GetStoreString(kStoreNamespace, "name", sizeof text, text), 1);
    EXPECT_STREQ(text, "hello");
    int32_t number = -1;
    EXPECT_EQ(services.GetStoreInt(kStoreNamespace, "name", &number), 0);
    EXPECT_EQ(number, -1);
    EXPECT_EQ(services.GetStoreInt(kStoreNamespace, "count", &number), 1);
    EXPECT_EQ(number, 3);

    uint8_t buffer[16] = {};
    EXPECT_EQ(services.GetStoreBytes(kStoreNamespace, "block", 9, buffer), 0) << "10 bytes do not fit in 9";
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(services.GetStoreBytes(kStoreNamespace, "block", 16, buffer), 10);
    EXPECT_EQ(buffer[9], 10);
    EXPECT_EQ(services.GetStoreBytes(kStoreNamespace, "count", 16, buffer), 0);

    char** keys = nullptr;
    int32_t count = 0;
    ASSERT_EQ(services.EnumerateStoreKeys(kStoreNamespace, "*", &keys, &count), kNoErr);
    ASSERT_EQ(count, 3);
    EXPECT_STREQ(keys[0], "block");
    EXPECT_STREQ(keys[2], "name");
    EXPECT_EQ(services.platform->BlockSize(keys), int32_t(3 * sizeof(char*) + 6 + 6 + 5));
    EXPECT_EQ(keys[1], keys[0] + 6) << "the keys follow the pointers in the same block";
    services.platform->FreeBlock(keys);
    ASSERT_EQ(services.EnumerateStoreKeys(kStoreNamespace, "x*", &keys, &count), kNoErr);
    EXPECT_EQ(count, 0);
    services.platform->FreeBlock(keys);
    EXPECT_EQ(services.EnumerateStoreKeys(kStoreNamespace, "*", nullptr, &count), kParamErr);

    services.SetStoreBytes(kStoreNamespace, "bad", -1, bytes);
    EXPECT_THAT(host.storeError, HasSubstr("impossible value of -1 bytes under bad"));
}

// Both children open a store that does not exist yet and write at once.
TEST_F(SettingsStoreTest, TwoProcessesWritingAtOnceBothSucceed)
{
    int start[2];
    ASSERT_EQ(pipe(start), 0);
    pid_t writers[2];
    for (int w = 0; w < 2; ++w) {
        writers[w] = fork();
        ASSERT_GE(writers[w], 0);
        if (writers[w] == 0) {
            close(start[1]);
            char go;
            if (read(start[0], &go, 1) < 0)
                _exit(2);
            try {
                SettingsStore store(path_);
                for (int i = 0; i < 200; ++i)
                    store.set(kStoreNamespace, fmt::format("writer{}_{:03}", w, i), i);
            } catch (const std::exception& error) {
                std::fprintf(stderr, "writer %d: %s\n", w, error.what());
                _exit(1);
            }
            _exit(0);
        }
    }
    close(start[0]);
    close(start[1]);
    for (pid_t writer : writers) {
        int status = 0;
        ASSERT_EQ(waitpid(writer, &status, 0), writer);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    SettingsStore store(path_);
    const std::vector<StoreEntry> entries = store.entries(kStoreNamespace, "writer*");
    ASSERT_EQ(entries.size(), 400u);
    EXPECT_EQ(entries[399], (StoreEntry{"writer1_199", 199}));
}

TEST_F(SettingsStoreTest, AWriterKilledMidWriteLeavesWholeValues)
{
    for (int round = 0; round < 3; ++round) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        const pid_t writer = fork();
        ASSERT_GE(writer, 0);
        if (writer == 0) {
            SettingsStore store(path_);
            for (int i = 0;; ++i) {
                store.set(kStoreNamespace, fmt::format("k{}", i % 20), StoreBytes(4096, uint8_t(i)));
                if (i == 50 && write(ready[1], "x", 1) != 1)
                    _exit(2);
            }
        }
        char byte;
        ASSERT_EQ(read(ready[0], &byte, 1), 1);
        usleep(useconds_t(1000 * (round * 7 + 1)));
        kill(writer, SIGKILL);
        waitpid(writer, nullptr, 0);
        close(ready[0]);
        close(ready[1]);

        SettingsStore store(path_);
        const std::vector<StoreEntry> entries = store.entries(kStoreNamespace, "k*");
        ASSERT_EQ(entries.size(), 20u);
        for (const StoreEntry& entry : entries) {
            const StoreBytes& value = std::get<StoreBytes>(entry.value);
            ASSERT_EQ(value.size(), 4096u) << entry.key;
            EXPECT_EQ(std::count(value.begin(), value.end(), value[0]), 4096) << entry.key << " is half-written";
        }
        store.set(kStoreNamespace, "after", 1);
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
    const auto answer = [db](const char* pragma) {
        sqlite3_stmt* query = nullptr;
        sqlite3_prepare_v2(db, pragma, -1, &query, nullptr);
        const bool row = sqlite3_step(query) == SQLITE_ROW;
        std::string text = row ? reinterpret_cast<const char*>(sqlite3_column_text(query, 0)) : "";
        sqlite3_finalize(query);
        return text;
    };
    EXPECT_EQ(answer("PRAGMA integrity_check"), "ok");
    EXPECT_EQ(answer("PRAGMA journal_mode"), "wal");
    sqlite3_close(db);
}

TEST_F(SettingsStoreTest, ALockHeldBeyondTheTimeoutFailsTheWriteOnly)
{
    SettingsStore(path_).set(kStoreNamespace, "key", 1);
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);

    SettingsStore store(path_, std::chrono::milliseconds(100));
    try {
        store.set(kStoreNamespace, "key", 2);
        FAIL() << "the write went through a held lock";
    } catch (const HostError& error) {
        EXPECT_EQ(std::string(error.what()),
                  "cannot write the settings store " + path_ + ": another process kept it locked for more than 100 ms");
    }
    EXPECT_EQ(store.getInt(kStoreNamespace, "key"), 1) << "readers are not blocked by a writer";

    sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    store.set(kStoreNamespace, "key", 2);
    EXPECT_EQ(store.getInt(kStoreNamespace, "key"), 2);
}

TEST_F(SettingsStoreTest, ACorruptFileIsReportedAndNeverWritten)
{
    WriteGarbage(path_);
    const std::string garbage = FileBytes(path_);
    const std::string expected =
        "cannot write the settings store " + path_ + ": it is not a settings database or it is damaged";
    try {
        SettingsStore(path_).set(kStoreNamespace, "key", 1);
        FAIL() << "a write to garbage succeeded";
    } catch (const HostError& error) {
        EXPECT_THAT(error.what(), HasSubstr(expected));
    }

    Host host(HostSettings{.settingsPath = path_});
    host.echoAlerts = false;
    ActiveScope scope(&host, nullptr);
    const HostCallbackTable& services = *CallbackTable();
    int32_t value = 0;
    char** keys = nullptr;
    int32_t count = 0;
    EXPECT_EQ(services.GetStoreInt(kStoreNamespace, "key", &value), 0);
    EXPECT_EQ(services.GetStoreInt(kStoreNamespace, "other", &value), 0);
    EXPECT_EQ(services.EnumerateStoreKeys(kStoreNamespace, "*", &keys, &count), kFailedErr);
    ASSERT_EQ(host.warnings.size(), 1u) << "one warning for the unreadable store";
    EXPECT_THAT(host.warnings[0], HasSubstr("cannot read the settings store " + path_));
    services.SetStoreInt(kStoreNamespace, "key", 1);
    services.DeleteStoreKeys(kStoreNamespace, "*");
    EXPECT_THAT(host.storeError, HasSubstr(expected));
    EXPECT_EQ(FileBytes(path_), garbage);

    // A real database whose pages after the first are damaged.
    const std::string damaged = (folder_ / "damaged.db").string();
    {
        SettingsStore store(damaged);
        for (int i = 0; i < 200; ++i)
            store.set(kStoreNamespace, fmt::format("key{}", i), std::string(100, 'v'));
    }
    WriteGarbage(damaged, 4096);
    const std::string before = FileBytes(damaged);
    SettingsStore store(damaged);
    EXPECT_THROW(store.set(kStoreNamespace, "key7", 1), HostError);
    EXPECT_THROW(store.deleteKeys(kStoreNamespace, "key*"), HostError);
    EXPECT_EQ(FileBytes(damaged), before);
}

TEST_F(SettingsStoreTest, TheDefaultPathFollowsTheEnvironmentAndTheFolderIsMadeOnWrite)
{
    const auto saved = [](const char* name) {
        const char* value = std::getenv(name);
        return value ? std::optional<std::string>(value) : std::nullopt;
    };
    const auto restore = [](const char* name, const std::optional<std::string>& value) {
        value ? setenv(name, value->c_str(), 1) : unsetenv(name);
    };
    const std::optional<std::string> settings = saved("PICTRA_SETTINGS"), config = saved("XDG_CONFIG_HOME"),
                                     home = saved("HOME");
    setenv("PICTRA_SETTINGS", "/x/s.db", 1);
    setenv("XDG_CONFIG_HOME", "/config", 1);
    setenv("HOME", "/home/u", 1);
    EXPECT_EQ(DefaultSettingsPath(), "/x/s.db");
    unsetenv("PICTRA_SETTINGS");
    EXPECT_EQ(DefaultSettingsPath(), "/config/pictra/settings.db");
    setenv("XDG_CONFIG_HOME", "relative", 1);
    EXPECT_EQ(DefaultSettingsPath(), "/home/u/.config/pictra/settings.db");
    unsetenv("HOME");
    EXPECT_THROW(DefaultSettingsPath(), HostError);
    restore("PICTRA_SETTINGS", settings);
    restore("XDG_CONFIG_HOME", config);
    restore("HOME", home);

    Host host(HostSettings{.settingsPath = (folder_ / "new" / "folder" / "s.db").string()});
    host.settingsStore().set(kStoreNamespace, "key", 1);
    EXPECT_TRUE(fs::exists(folder_ / "new" / "folder" / "s.db"));
}

}  // namespace
}  // namespace pictra::test
