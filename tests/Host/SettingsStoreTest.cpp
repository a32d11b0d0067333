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

#include "HostInternal.h"
#include "TestSupport.h"
#include "pictra/SettingsStore.h"

namespace pictra::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

std::string FileBytes(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
}

class SettingsStoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char folder[] = "/tmp/pictra-store-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        folder_ = folder;
        path_ = (folder_ / "sub" / "settings.db").string();
    }
    void TearDown() override { fs::remove_all(folder_); }

    fs::path folder_;
    std::string path_;
};

TEST_F(SettingsStoreTest, ValuesKeepTheirTypeAndAnotherTypeIsAbsent)
{
    SettingsStore store(path_);
    EXPECT_EQ(store.getInt(kStoreNamespace, "missing"), std::nullopt);
    EXPECT_FALSE(fs::exists(folder_ / "sub")) << "reading a store that does not exist creates nothing";

    const std::vector<StoreEntry> values{{"bytes", StoreBytes{0, 1, 0xFF, 0, 7}},
                                         {"double", -0.1},
                                         {"empty", std::string()},
                                         {"int", std::numeric_limits<int32_t>::min()},
                                         {"no bytes", StoreBytes{}},
                                         {"text", std::string("caf\xC3\xA9 \"x\"")}};
    for (const StoreEntry& entry : values)
        store.set(kStoreNamespace, entry.key, entry.value);
    store.set(FourCC("othr"), "int", 5);
    store.set(kStoreNamespace, "nan", std::nan(""));

    SettingsStore reopened(path_);
    EXPECT_TRUE(std::isnan(reopened.getDouble(kStoreNamespace, "nan").value_or(0)));
    reopened.deleteKeys(kStoreNamespace, "nan");
    EXPECT_EQ(reopened.entries(kStoreNamespace, "*"), values);
    EXPECT_EQ(reopened.getInt(FourCC("othr"), "int"), 5) << "namespaces are separate";
    EXPECT_EQ(reopened.getInt(kStoreNamespace, "text"), std::nullopt);
    EXPECT_EQ(reopened.getString(kStoreNamespace, "int"), std::nullopt);
    EXPECT_EQ(reopened.getDouble(kStoreNamespace, "int"), std::nullopt);
    EXPECT_EQ(reopened.getBytes(kStoreNamespace, "empty"), std::nullopt);
    reopened.set(kStoreNamespace, "int", 2.5);
    EXPECT_EQ(reopened.getInt(kStoreNamespace, "int"), std::nullopt) << "a value takes the type last written";
}

TEST_F(SettingsStoreTest, PatternsArePrefixesWhateverCharactersTheyHold)
{
    SettingsStore store(path_);
    for (const char* key : {"a[1]x", "a[1]y", "a1x", "a?b", "aXb", "a*", "a*c", "ab", "Zed"})
        store.set(kStoreNamespace, key, 1);
    EXPECT_THAT(store.enumerate(kStoreNamespace, "a[1]*"), ElementsAre("a[1]x", "a[1]y"));
    EXPECT_THAT(store.enumerate(kStoreNamespace, "a?*"), ElementsAre("a?b"));
    EXPECT_THAT(store.enumerate(kStoreNamespace, "a**"), ElementsAre("a*", "a*c"));
    EXPECT_THAT(store.enumerate(kStoreNamespace, "a[1]x"), ElementsAre("a[1]x")) << "no star: one exact key";
    EXPECT_THAT(store.enumerate(kStoreNamespace, "*"),
                ElementsAre("Zed", "a*", "a*c", "a1x", "a?b", "aXb", "a[1]x", "a[1]y", "ab"));

    EXPECT_EQ(store.deleteKeys(kStoreNamespace, "a[1]*"), 2);
    EXPECT_EQ(store.deleteKeys(kStoreNamespace, "a?"), 0);
    store.set(kStoreNamespace, "a?b", std::string("moved"));
    EXPECT_TRUE(store.rename(kStoreNamespace, "a?b", "ab"));
    EXPECT_FALSE(store.rename(kStoreNamespace, "gone", "ab"));
    EXPECT_THAT(store.enumerate(kStoreNamespace, "a*"), ElementsAre("a*", "a*c", "a1x", "aXb", "ab"));
    EXPECT_EQ(store.getString(kStoreNamespace, "ab"), "moved") << "a rename replaces what the new key held";
}

TEST_F(SettingsStoreTest, ServicesCutStringsAndListKeysInOneBlock)
{
    Host host(HostSettings{.settingsPath = path_});
    ActiveScope scope(&host, nullptr);
    const HostCallbackTable& services = *CallbackTable();
    services.SetStoreString(kStoreNamespace, "name", "hello world");
    services.SetStoreInt(kStoreNamespace, "count", 3);
    char text[6] = "-----";
    EXPECT_EQ(services.GetStoreString(kStoreNamespace, "name", sizeof text, text), 1);
    EXPECT_STREQ(text, "hello");

    char** keys = nullptr;
    int32_t count = 0;
    ASSERT_EQ(services.EnumerateStoreKeys(kStoreNamespace, "*", &keys, &count), kNoErr);
    ASSERT_EQ(count, 2);
    EXPECT_STREQ(keys[0], "count");
    EXPECT_EQ(keys[1], keys[0] + 6) << "the keys follow the pointers in the same block";
    EXPECT_STREQ(keys[1], "name");
    EXPECT_EQ(services.platform->BlockSize(keys), int32_t(2 * sizeof(char*) + 6 + 5));
    services.platform->FreeBlock(keys);
    EXPECT_EQ(services.EnumerateStoreKeys(kStoreNamespace, "*", nullptr, &count), kParamErr);

    const uint8_t bytes[4] = {};
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
        if (writers[w] == 0) {
            char go;
            close(start[1]);
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
    const std::vector<StoreEntry> entries = SettingsStore(path_).entries(kStoreNamespace, "writer*");
    ASSERT_EQ(entries.size(), 400u);
    EXPECT_EQ(entries[399], (StoreEntry{"writer1_199", 199}));
}

TEST_F(SettingsStoreTest, AWriterKilledMidWriteLeavesWholeValues)
{
    for (int round = 0; round < 3; ++round) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        const pid_t writer = fork();
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
            EXPECT_TRUE(value.size() == 4096 && std::count(value.begin(), value.end(), value[0]) == 4096) << entry.key;
        }
        store.set(kStoreNamespace, "after", 1);
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
    const auto answer = [db](const char* pragma) {
        sqlite3_stmt* query = nullptr;
        sqlite3_prepare_v2(db, pragma, -1, &query, nullptr);
        std::string text = sqlite3_step(query) == SQLITE_ROW ? (const char*)sqlite3_column_text(query, 0) : "";
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
        ADD_FAILURE() << "the write went through a held lock";
    } catch (const HostError& error) {
        EXPECT_STREQ(error.what(), ("cannot write the settings store " + path_ +
                                    ": another process kept it locked for more than 100 ms")
                                       .c_str());
    }
    EXPECT_EQ(store.getInt(kStoreNamespace, "key"), 1) << "readers are not blocked by a writer";
    sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    store.set(kStoreNamespace, "key", 2);
    EXPECT_EQ(store.getInt(kStoreNamespace, "key"), 2);
}

// Garbage from the first byte, and a real database damaged after its first page.
TEST_F(SettingsStoreTest, ACorruptFileIsReportedAndNeverWritten)
{
    fs::create_directory(folder_ / "sub");
    const std::string damaged = (folder_ / "damaged.db").string();
    {
        SettingsStore store(damaged);
        for (int i = 0; i < 200; ++i)
            store.set(kStoreNamespace, fmt::format("key{}", i), std::string(100, 'v'));
    }
    std::mt19937 random(7);
    std::string garbage(8192, '\0');
    std::generate(garbage.begin(), garbage.end(), [&] { return char(random()); });
    std::ofstream(path_, std::ios::binary) << garbage;
    std::fstream(damaged, std::ios::binary | std::ios::in | std::ios::out).seekp(4096) << garbage;

    for (const std::string& path : {path_, damaged}) {
        const std::string before = FileBytes(path);
        SettingsStore store(path);
        EXPECT_THAT([&] { store.set(kStoreNamespace, "key7", 1); },
                    ::testing::ThrowsMessage<HostError>(
                        "cannot write the settings store " + path +
                        ": it is not a settings database or it is damaged (the file is left as it is)"));
        EXPECT_THROW(store.deleteKeys(kStoreNamespace, "key*"), HostError);
        EXPECT_THROW(store.enumerate(kStoreNamespace, "*"), HostError);
        EXPECT_EQ(FileBytes(path), before);
    }
}

TEST_F(SettingsStoreTest, TheDefaultPathFollowsTheEnvironment)
{
    const auto saved = [](const char* name) { return std::getenv(name) ? std::string(std::getenv(name)) : ""; };
    const std::string settings = saved("PICTRA_SETTINGS"), config = saved("XDG_CONFIG_HOME"), home = saved("HOME");
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
    setenv("PICTRA_SETTINGS", settings.c_str(), 1);
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    setenv("HOME", home.c_str(), 1);
}

}  // namespace
}  // namespace pictra::test
