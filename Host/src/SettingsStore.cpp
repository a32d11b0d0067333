#include "pictra/SettingsStore.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <system_error>
#include <utility>

#include <fmt/format.h>

#include "HostInternal.h"

namespace pictra {

namespace {

constexpr int kBusyRetryMilliseconds = 5;

constexpr const char* kCreateTable =
    "CREATE TABLE IF NOT EXISTS settings ("
    " space INTEGER NOT NULL,"
    " key TEXT NOT NULL,"
    " type TEXT NOT NULL,"
    " value,"
    " PRIMARY KEY (space, key)) WITHOUT ROWID";

// A store pattern as a GLOB: a trailing "*" is the only wildcard, so GLOB's
// own metacharacters in the rest are matched literally by putting each in a
// bracket class of its own ("a[1]?*" becomes "a[[]1][?]*"; "]" alone is literal).
std::string GlobOf(std::string_view pattern)
{
    const bool prefix = !pattern.empty() && pattern.back() == '*';
    if (prefix)
        pattern.remove_suffix(1);
    std::string glob;
    for (char c : pattern) {
        if (c == '*' || c == '?' || c == '[') {
            glob += '[';
            glob += c;
            glob += ']';
        } else {
            glob += c;
        }
    }
    if (prefix)
        glob += '*';
    return glob;
}

}  // namespace

const char* StoreTypeName(const StoreValue& value)
{
    constexpr const char* kNames[] = {"string", "int", "double", "bytes"};
    return kNames[value.index()];
}

// A prepared statement that finalises itself; every failure throws through the store.
class SettingsStore::Statement {
public:
    Statement(const SettingsStore& store, sqlite3* db, const char* sql, const char* doing)
        : store_(store), doing_(doing)
    {
        if (const int code = sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr); code != SQLITE_OK)
            throw store_.failure(doing_, code);
    }
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(int index, std::string_view text)
    {
        check(sqlite3_bind_text(statement_, index, text.data(), int(text.size()), SQLITE_TRANSIENT));
        return *this;
    }
    Statement& bind(int index, int64_t number)
    {
        check(sqlite3_bind_int64(statement_, index, number));
        return *this;
    }
    Statement& bindValue(int index, const StoreValue& value)
    {
        switch (value.index()) {
        case 0: return bind(index, std::get<std::string>(value));
        case 1: return bind(index, int64_t(std::get<int32_t>(value)));
        case 2: check(sqlite3_bind_double(statement_, index, std::get<double>(value))); return *this;
        default: {
            // An empty blob, not NULL: a zero-length block is still a stored value.
            static const uint8_t kEmpty = 0;
            const StoreBytes& bytes = std::get<StoreBytes>(value);
            check(sqlite3_bind_blob(statement_, index, bytes.empty() ? &kEmpty : bytes.data(), int(bytes.size()),
                                    SQLITE_TRANSIENT));
            return *this;
        }
        }
    }

    // True while there is a row to read.
    bool step()
    {
        const int code = sqlite3_step(statement_);
        if (code == SQLITE_ROW)
            return true;
        if (code != SQLITE_DONE)
            throw store_.failure(doing_, code);
        return false;
    }

    std::string text(int column) const
    {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement_, column));
        return text ? std::string(text, size_t(sqlite3_column_bytes(statement_, column))) : std::string();
    }

    // The value of the (type, value) columns starting at `column`; absent for
    // a type this store does not write.
    std::optional<StoreValue> value(int column) const
    {
        const std::string type = text(column);
        const int at = column + 1;
        if (type == "string")
            return StoreValue(text(at));
        if (type == "int")
            return StoreValue(int32_t(sqlite3_column_int(statement_, at)));
        if (type == "double") {
            // SQLite keeps a NaN as NULL.
            if (sqlite3_column_type(statement_, at) == SQLITE_NULL)
                return StoreValue(std::numeric_limits<double>::quiet_NaN());
            return StoreValue(sqlite3_column_double(statement_, at));
        }
        if (type == "bytes") {
            const auto* data = static_cast<const uint8_t*>(sqlite3_column_blob(statement_, at));
            return StoreValue(StoreBytes(data, data + sqlite3_column_bytes(statement_, at)));
        }
        return std::nullopt;
    }

private:
    void check(int code) const
    {
        if (code != SQLITE_OK)
            throw store_.failure(doing_, code);
    }

    const SettingsStore& store_;
    const char* doing_;
    sqlite3_stmt* statement_ = nullptr;
};

SettingsStore::SettingsStore(std::string path, std::chrono::milliseconds busyTimeout)
    : path_(std::move(path)), busyTimeout_(busyTimeout)
{
}

SettingsStore::~SettingsStore() { sqlite3_close(db_); }

HostError SettingsStore::failure(const char* doing, int code) const
{
    std::string reason;
    switch (code & 0xff) {
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT: reason = "it is not a settings database or it is damaged (the file is left as it is)"; break;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        reason = fmt::format("another process kept it locked for more than {} ms", busyTimeout_.count());
        break;
    case SQLITE_CANTOPEN: {
        const int error = db_ ? sqlite3_system_errno(db_) : 0;
        reason =
            error ? fmt::format("the file cannot be opened ({})", std::strerror(error)) : "the file cannot be opened";
        break;
    }
    case SQLITE_READONLY:
    case SQLITE_PERM: reason = "the file is read-only"; break;
    case SQLITE_FULL: reason = "the disk is full"; break;
    default: reason = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(code); break;
    }
    return HostError(fmt::format("cannot {} the settings store {}: {}", doing, path_, reason));
}

bool SettingsStore::exists() const
{
    std::error_code error;
    return db_ || std::filesystem::exists(path_, error);
}

sqlite3* SettingsStore::open(bool create)
{
    if (db_)
        return db_;
    if (!create && !exists())
        return nullptr;
    const std::filesystem::path file(path_);
    if (create && file.has_parent_path()) {
        std::error_code folderError;
        std::filesystem::create_directories(file.parent_path(), folderError);
        if (folderError)
            throw HostError(fmt::format("cannot write the settings store {}: cannot create its folder ({})", path_,
                                        folderError.message()));
    }
    const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0);
    const int code = sqlite3_open_v2(path_.c_str(), &db_, flags, nullptr);
    if (code != SQLITE_OK) {
        // The handle is closed only after the message is made: it knows the system error.
        const HostError error = failure(create ? "write" : "read", code);
        sqlite3_close(db_);
        db_ = nullptr;
        throw error;
    }
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, int(busyTimeout_.count()));
    // In WAL mode NORMAL syncs at checkpoints only: a killed process still loses
    // no committed write and the file is never damaged; only a power cut may
    // undo the last few writes. FULL would sync every setting written.
    sqlite3_exec(db_, "PRAGMA synchronous = NORMAL", nullptr, nullptr, nullptr);
    return db_;
}

bool SettingsStore::hasTable()
{
    Statement query(*this, db_, "SELECT 1 FROM sqlite_schema WHERE type = 'table' AND name = 'settings'", "read");
    return query.step();
}

sqlite3* SettingsStore::openForReading()
{
    if (!open(false))
        return nullptr;
    // Until this process writes, another one may create the table at any time.
    if (!tableReady_ && !hasTable())
        return nullptr;
    tableReady_ = true;
    return db_;
}

sqlite3* SettingsStore::openForWriting()
{
    open(true);
    if (!tableReady_) {
        useWriteAheadLog();
        if (const int code = sqlite3_exec(db_, kCreateTable, nullptr, nullptr, nullptr); code != SQLITE_OK)
            throw failure("write", code);
        tableReady_ = true;
    }
    return db_;
}

// WAL lets readers go on while another process writes; the mode stays with the
// file. Switching to it answers BUSY at once, without the busy handler, while
// another process is switching too (two processes creating the store
// together), so the switch itself is retried until the busy timeout.
void SettingsStore::useWriteAheadLog()
{
    const auto deadline = std::chrono::steady_clock::now() + busyTimeout_;
    for (;;) {
        const int code = sqlite3_exec(db_, "PRAGMA journal_mode = WAL", nullptr, nullptr, nullptr);
        if (code == SQLITE_OK)
            return;
        if ((code & 0xff) != SQLITE_BUSY || std::chrono::steady_clock::now() >= deadline)
            throw failure("write", code);
        sqlite3_sleep(kBusyRetryMilliseconds);
    }
}

template <class Body>
int SettingsStore::inTransaction(Body&& body)
{
    // IMMEDIATE takes the write lock at once, waiting out other writers under the
    // busy timeout; a deferred transaction could fail instead when it upgrades.
    if (const int code = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr); code != SQLITE_OK)
        throw failure("write", code);
    try {
        const int result = body();
        if (const int code = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr); code != SQLITE_OK)
            throw failure("write", code);
        return result;
    } catch (...) {
        if (!sqlite3_get_autocommit(db_))
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

void SettingsStore::set(uint32_t space, std::string_view key, const StoreValue& value)
{
    sqlite3* db = openForWriting();
    inTransaction([&] {
        Statement insert(*this, db, "INSERT OR REPLACE INTO settings (space, key, type, value) VALUES (?, ?, ?, ?)",
                         "write");
        insert.bind(1, int64_t(space)).bind(2, key).bind(3, StoreTypeName(value)).bindValue(4, value).step();
        return sqlite3_changes(db);
    });
}

std::optional<StoreValue> SettingsStore::get(uint32_t space, std::string_view key)
{
    sqlite3* db = openForReading();
    if (!db)
        return std::nullopt;
    Statement query(*this, db, "SELECT type, value FROM settings WHERE space = ? AND key = ?", "read");
    query.bind(1, int64_t(space)).bind(2, key);
    return query.step() ? query.value(0) : std::nullopt;
}

namespace {

template <class T>
std::optional<T> As(std::optional<StoreValue> value)
{
    if (T* typed = value ? std::get_if<T>(&*value) : nullptr)
        return std::move(*typed);
    return std::nullopt;
}

}  // namespace

std::optional<std::string> SettingsStore::getString(uint32_t space, std::string_view key)
{
    return As<std::string>(get(space, key));
}

std::optional<int32_t> SettingsStore::getInt(uint32_t space, std::string_view key)
{
    return As<int32_t>(get(space, key));
}

std::optional<double> SettingsStore::getDouble(uint32_t space, std::string_view key)
{
    return As<double>(get(space, key));
}

std::optional<StoreBytes> SettingsStore::getBytes(uint32_t space, std::string_view key)
{
    return As<StoreBytes>(get(space, key));
}

std::vector<std::string> SettingsStore::enumerate(uint32_t space, std::string_view pattern)
{
    std::vector<std::string> keys;
    sqlite3* db = openForReading();
    if (!db)
        return keys;
    Statement query(*this, db, "SELECT key FROM settings WHERE space = ? AND key GLOB ? ORDER BY key", "read");
    query.bind(1, int64_t(space)).bind(2, GlobOf(pattern));
    while (query.step())
        keys.push_back(query.text(0));
    return keys;
}

std::vector<StoreEntry> SettingsStore::entries(uint32_t space, std::string_view pattern)
{
    std::vector<StoreEntry> found;
    sqlite3* db = openForReading();
    if (!db)
        return found;
    Statement query(*this, db, "SELECT key, type, value FROM settings WHERE space = ? AND key GLOB ? ORDER BY key",
                    "read");
    query.bind(1, int64_t(space)).bind(2, GlobOf(pattern));
    while (query.step())
        if (std::optional<StoreValue> value = query.value(1))
            found.push_back({query.text(0), std::move(*value)});
    return found;
}

int SettingsStore::deleteKeys(uint32_t space, std::string_view pattern)
{
    // Deleting from a store that does not exist yet must not create it.
    if (!exists())
        return 0;
    sqlite3* db = openForWriting();
    return inTransaction([&] {
        Statement erase(*this, db, "DELETE FROM settings WHERE space = ? AND key GLOB ?", "write");
        erase.bind(1, int64_t(space)).bind(2, GlobOf(pattern)).step();
        return sqlite3_changes(db);
    });
}

bool SettingsStore::rename(uint32_t space, std::string_view oldKey, std::string_view newKey)
{
    if (!exists())
        return false;
    sqlite3* db = openForWriting();
    return inTransaction([&] {
               // OR REPLACE drops a value already under newKey instead of failing on it.
               Statement move(*this, db, "UPDATE OR REPLACE settings SET key = ? WHERE space = ? AND key = ?", "write");
               move.bind(1, newKey).bind(2, int64_t(space)).bind(3, oldKey).step();
               return sqlite3_changes(db);
           }) > 0;
}

// ---------------------------------------------------------------------------
// The host's store.

std::string DefaultSettingsPath()
{
    namespace fs = std::filesystem;
    if (const char* path = std::getenv("PICTRA_SETTINGS"); path && *path)
        return path;
    // A relative XDG_CONFIG_HOME is invalid and ignored, as the convention asks.
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && fs::path(config).is_absolute())
        return (fs::path(config) / "pictra" / "settings.db").string();
    if (const char* home = std::getenv("HOME"); home && *home)
        return (fs::path(home) / ".config" / "pictra" / "settings.db").string();
    throw HostError("no place for the settings store: set PICTRA_SETTINGS or HOME");
}

SettingsStore& Host::settingsStore()
{
    if (!store_)
        store_ = std::make_unique<SettingsStore>(settings.settingsPath.empty() ? DefaultSettingsPath()
                                                                               : settings.settingsPath);
    return *store_;
}

// ---------------------------------------------------------------------------
// The services. The module cannot hear of a failure, so none escapes into it:
// a failed write leaves the store as it was and is kept in Host::storeError for
// the host's caller to report; a failed read is absent, with one warning.

namespace store_services {

namespace {

std::string_view KeyOf(const char* key)
{
    if (!key)
        throw HostError("the filter module used the settings store without a key");
    return key;
}

template <class Change>
void Write(Change&& change)
{
    Host& host = *tActiveHost;
    try {
        change(host.settingsStore());
    } catch (const std::exception& error) {
        if (host.storeError.empty())
            host.storeError = error.what();
    }
}

// The first warning about an unreadable store is enough: the filter reads
// several keys in a row and every read would say the same.
template <class Query>
auto Read(Query&& query) -> decltype(query(std::declval<SettingsStore&>()))
{
    Host& host = *tActiveHost;
    try {
        return query(host.settingsStore());
    } catch (const std::exception& error) {
        const std::string warning = fmt::format("{}; the stored settings are ignored", error.what());
        if (std::find(host.warnings.begin(), host.warnings.end(), warning) == host.warnings.end()) {
            host.warnings.push_back(warning);
            if (host.echoAlerts)
                std::fprintf(stderr, "warning: %s\n", warning.c_str());
        }
        return {};
    }
}

}  // namespace

void SetString(uint32_t space, const char* key, const char* value)
{
    Write([&](SettingsStore& store) { store.set(space, KeyOf(key), std::string(value ? value : "")); });
}

void SetInt(uint32_t space, const char* key, int32_t value)
{
    Write([&](SettingsStore& store) { store.set(space, KeyOf(key), value); });
}

void SetDouble(uint32_t space, const char* key, double value)
{
    Write([&](SettingsStore& store) { store.set(space, KeyOf(key), value); });
}

void SetBytes(uint32_t space, const char* key, int32_t size, const void* data)
{
    Write([&](SettingsStore& store) {
        if (size < 0 || (size > 0 && !data))
            throw HostError(
                fmt::format("the filter module stored an impossible value of {} bytes under {}", size, KeyOf(key)));
        const auto* bytes = static_cast<const uint8_t*>(data);
        store.set(space, KeyOf(key), StoreBytes(bytes, bytes + size));
    });
}

int32_t GetString(uint32_t space, const char* key, int32_t bufferSize, char* buffer)
{
    if (!key)
        return 0;
    const std::optional<std::string> value = Read([&](SettingsStore& store) { return store.getString(space, key); });
    if (!value)
        return 0;
    if (buffer && bufferSize > 0) {
        const size_t length = std::min(value->size(), size_t(bufferSize - 1));
        std::memcpy(buffer, value->data(), length);
        buffer[length] = '\0';
    }
    return 1;
}

int32_t GetInt(uint32_t space, const char* key, int32_t* value)
{
    if (!key)
        return 0;
    const std::optional<int32_t> stored = Read([&](SettingsStore& store) { return store.getInt(space, key); });
    if (stored && value)
        *value = *stored;
    return stored ? 1 : 0;
}

int32_t GetDouble(uint32_t space, const char* key, double* value)
{
    if (!key)
        return 0;
    const std::optional<double> stored = Read([&](SettingsStore& store) { return store.getDouble(space, key); });
    if (stored && value)
        *value = *stored;
    return stored ? 1 : 0;
}

int32_t GetBytes(uint32_t space, const char* key, int32_t size, void* buffer)
{
    if (!key || !buffer || size < 0)
        return 0;
    const std::optional<StoreBytes> stored = Read([&](SettingsStore& store) { return store.getBytes(space, key); });
    if (!stored || stored->size() > size_t(size))
        return 0;
    std::memcpy(buffer, stored->data(), stored->size());
    return int32_t(stored->size());
}

void DeleteKeys(uint32_t space, const char* pattern)
{
    Write([&](SettingsStore& store) { store.deleteKeys(space, KeyOf(pattern)); });
}

int16_t EnumerateKeys(uint32_t space, const char* pattern, char*** keys, int32_t* count)
{
    if (!keys || !count || !pattern)
        return kParamErr;
    *keys = nullptr;
    *count = 0;
    const std::optional<std::vector<std::string>> found =
        Read([&](SettingsStore& store) { return std::optional(store.enumerate(space, pattern)); });
    if (!found)
        return kFailedErr;
    // One block: the pointers, then the keys they point at.
    size_t size = found->size() * sizeof(char*);
    for (const std::string& key : *found)
        size += key.size() + 1;
    if (size > size_t(std::numeric_limits<int32_t>::max()))
        return kMemFullErr;
    void* block = nullptr;
    if (const int16_t error = NewHostBlock(&block, int32_t(size)); error != kNoErr)
        return error;
    auto** pointers = static_cast<char**>(block);
    char* text = reinterpret_cast<char*>(pointers + found->size());
    for (size_t i = 0; i < found->size(); ++i) {
        const std::string& key = (*found)[i];
        pointers[i] = text;
        std::memcpy(text, key.c_str(), key.size() + 1);
        text += key.size() + 1;
    }
    *keys = pointers;
    *count = int32_t(found->size());
    return kNoErr;
}

void RenameKey(uint32_t space, const char* oldKey, const char* newKey)
{
    Write([&](SettingsStore& store) { store.rename(space, KeyOf(oldKey), KeyOf(newKey)); });
}

}  // namespace store_services

}  // namespace pictra
