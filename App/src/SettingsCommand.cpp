#include "SettingsCommand.h"

#include <algorithm>
#include <cstdio>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "pictra/Host.h"
#include "pictra/SettingsStore.h"

namespace pictra {

namespace {

// What the command line parsed; RunSettingsCommand acts on it.
struct SettingsRequest {
    CLI::App* list = nullptr;
    CLI::App* show = nullptr;
    CLI::App* erase = nullptr;
    std::string pattern = "*";
    std::string key;
};

SettingsRequest gRequest;

constexpr size_t kSummaryBytes = 8;
constexpr size_t kSummaryCharacters = 48;
constexpr size_t kDumpBytesPerLine = 16;

// A string as C would write it, so that every value stays on one line.
std::string Quoted(std::string_view text)
{
    std::string quoted = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\')
            quoted += fmt::format("\\{}", c);
        else if (c == '\n')
            quoted += "\\n";
        else if (c == '\t')
            quoted += "\\t";
        else if (byte < 0x20 || byte == 0x7f)
            quoted += fmt::format("\\x{:02x}", byte);
        else
            quoted += c;
    }
    return quoted + '"';
}

std::string HexBytes(const StoreBytes& bytes, size_t begin, size_t end)
{
    std::string hex;
    for (size_t i = begin; i < end; ++i)
        hex += fmt::format("{}{:02x}", i > begin ? " " : "", bytes[i]);
    return hex;
}

// One line per value: a long string is cut, bytes show their size and first few.
std::string Summary(const StoreValue& value)
{
    switch (value.index()) {
    case 0: {
        const std::string& text = std::get<std::string>(value);
        if (text.size() <= kSummaryCharacters)
            return Quoted(text);
        return fmt::format("{}... ({} characters)", Quoted(text.substr(0, kSummaryCharacters)), text.size());
    }
    case 1: return fmt::format("{}", std::get<int32_t>(value));
    case 2: return fmt::format("{}", std::get<double>(value));
    default: {
        const StoreBytes& bytes = std::get<StoreBytes>(value);
        const size_t shown = std::min(bytes.size(), kSummaryBytes);
        return fmt::format("{} bytes{}{}{}", bytes.size(), shown ? ": " : "", HexBytes(bytes, 0, shown),
                           shown < bytes.size() ? " ..." : "");
    }
    }
}

// Offset, sixteen bytes in hex, the same as text; then the end offset, so an
// empty value still shows.
void PrintDump(const StoreBytes& bytes)
{
    for (size_t line = 0; line < bytes.size(); line += kDumpBytesPerLine) {
        const size_t end = std::min(bytes.size(), line + kDumpBytesPerLine);
        std::string text;
        for (size_t i = line; i < end; ++i)
            text += bytes[i] >= 0x20 && bytes[i] < 0x7f ? char(bytes[i]) : '.';
        fmt::print("{:08x}  {:<47}  |{}|\n", line, HexBytes(bytes, line, end), text);
    }
    fmt::print("{:08x}\n", bytes.size());
}

int List(SettingsStore& store)
{
    const std::vector<StoreEntry> entries = store.entries(kStoreNamespace, gRequest.pattern);
    size_t width = 0;
    for (const StoreEntry& entry : entries)
        width = std::max(width, entry.key.size());
    for (const StoreEntry& entry : entries)
        fmt::print("{:<{}}  {:<6}  {}\n", entry.key, width, StoreTypeName(entry.value), Summary(entry.value));
    return 0;
}

int Show(SettingsStore& store)
{
    const std::optional<StoreValue> value = store.get(kStoreNamespace, gRequest.key);
    if (!value)
        throw HostError(fmt::format("the settings store {} has no key {}", store.path(), gRequest.key));
    switch (value->index()) {
    case 0: fmt::print("{}\n", std::get<std::string>(*value)); break;
    case 1: fmt::print("{}\n", std::get<int32_t>(*value)); break;
    case 2: fmt::print("{}\n", std::get<double>(*value)); break;
    default: PrintDump(std::get<StoreBytes>(*value)); break;
    }
    return 0;
}

int Delete(SettingsStore& store)
{
    const int deleted = store.deleteKeys(kStoreNamespace, gRequest.pattern);
    if (deleted == 0)
        throw HostError(fmt::format("the settings store {} has no key matching {}", store.path(), gRequest.pattern));
    fmt::print("deleted {} {}\n", deleted, deleted == 1 ? "key" : "keys");
    return 0;
}

}  // namespace

CLI::App* AddSettingsCommand(CLI::App& app, std::string& settingsPath)
{
    // The database option belongs to the whole program, since `run` reads and
    // writes the store too; fallthrough lets it follow the subcommands as well.
    if (!app.get_option_no_throw("--settings-db"))
        app.add_option("--settings-db", settingsPath,
                       "the settings database (default: $PICTRA_SETTINGS, else "
                       "$XDG_CONFIG_HOME/pictra/settings.db or ~/.config/pictra/settings.db)");
    CLI::App* settings =
        app.add_subcommand("settings", "list, show or delete the filters' stored settings (namespace 'filt')");
    settings->require_subcommand(1);
    settings->fallthrough();
    gRequest.list = settings->add_subcommand("list", "every key with its type and a summary of its value");
    gRequest.list->add_option("PATTERN", gRequest.pattern, "a key, or a prefix ending in * (default: every key)");
    gRequest.show = settings->add_subcommand("show", "one key's value; bytes as a hex dump with offsets");
    gRequest.show->add_option("KEY", gRequest.key, "the key")->required();
    gRequest.erase = settings->add_subcommand("delete", "delete one key, or every key starting with a prefix");
    gRequest.erase->add_option("PATTERN", gRequest.pattern, "a key, or a prefix ending in * (Clrze_*)")->required();
    for (CLI::App* command : {gRequest.list, gRequest.show, gRequest.erase})
        command->fallthrough();
    return settings;
}

int RunSettingsCommand(const std::string& settingsPath)
{
    SettingsStore store(settingsPath.empty() ? DefaultSettingsPath() : settingsPath);
    if (*gRequest.show)
        return Show(store);
    if (*gRequest.erase)
        return Delete(store);
    return List(store);
}

}  // namespace pictra
