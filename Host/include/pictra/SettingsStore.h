// The host's settings store: typed values (string, int32, double, bytes)
// under (namespace, key) in one SQLite database file.
//
// Every write is one transaction, so a process killed in the middle leaves the
// key as it was before or as it is after, never half-written. The database runs
// in WAL mode with a busy timeout, so several pictra processes may write at
// once: each waits its turn instead of failing. A file that is not a database or
// is damaged is never written to; every operation on it throws HostError.
//
// The file is opened on first use. Reading a store whose file does not exist
// yet finds nothing and creates nothing; the first write creates the folder,
// the file and its table. A store is used from one thread at a time (the
// services run on the thread that called into the module).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

struct sqlite3;

namespace pictra {

struct HostError;

using StoreBytes = std::vector<uint8_t>;
// The alternatives in this order are the value types string, int, double, bytes.
using StoreValue = std::variant<std::string, int32_t, double, StoreBytes>;

// "string", "int", "double" or "bytes": the type's name in the database and on the command line.
const char* StoreTypeName(const StoreValue& value);

struct StoreEntry {
    std::string key;
    StoreValue value;
    bool operator==(const StoreEntry&) const = default;
};

class SettingsStore {
public:
    static constexpr std::chrono::milliseconds kDefaultBusyTimeout{5000};

    // Opens nothing yet; `busyTimeout` is how long a write waits for another
    // process's write to finish before it fails.
    explicit SettingsStore(std::string path, std::chrono::milliseconds busyTimeout = kDefaultBusyTimeout);
    ~SettingsStore();
    SettingsStore(const SettingsStore&) = delete;
    SettingsStore& operator=(const SettingsStore&) = delete;

    const std::string& path() const { return path_; }

    // Every method throws HostError, with a one-line message naming the file,
    // when the database cannot be opened, is not a database, is damaged, or
    // stays locked beyond the busy timeout. A failed write changes nothing.

    // Replaces the key's value, whatever type it had.
    void set(uint32_t space, std::string_view key, const StoreValue& value);
    std::optional<StoreValue> get(uint32_t space, std::string_view key);
    // A value of another type counts as absent.
    std::optional<std::string> getString(uint32_t space, std::string_view key);
    std::optional<int32_t> getInt(uint32_t space, std::string_view key);
    std::optional<double> getDouble(uint32_t space, std::string_view key);
    std::optional<StoreBytes> getBytes(uint32_t space, std::string_view key);

    // A pattern ending in "*" matches every key that starts with the part
    // before it ("*" alone matches all); any other pattern is one exact key.
    // Keys come in byte order.
    std::vector<std::string> enumerate(uint32_t space, std::string_view pattern);
    std::vector<StoreEntry> entries(uint32_t space, std::string_view pattern);
    // Returns the number of keys deleted.
    int deleteKeys(uint32_t space, std::string_view pattern);
    // Moves the value to newKey, replacing what newKey held; false (and nothing
    // changed) when oldKey does not exist.
    bool rename(uint32_t space, std::string_view oldKey, std::string_view newKey);

private:
    class Statement;

    bool exists() const;
    // Null when the file does not exist yet (the store is empty).
    sqlite3* openForReading();
    sqlite3* openForWriting();
    sqlite3* open(bool create);
    bool hasTable();
    void useWriteAheadLog();
    // Runs `body` between BEGIN IMMEDIATE and COMMIT and returns its count of
    // changed rows; rolls back and throws on any failure.
    template <class Body>
    int inTransaction(Body&& body);
    // The one-line message for SQLite's `code` while trying to `doing` ("read", "write").
    HostError failure(const char* doing, int code) const;

    std::string path_;
    std::chrono::milliseconds busyTimeout_;
    sqlite3* db_ = nullptr;
    bool tableReady_ = false;
};

}  // namespace pictra
