// pictra settings: what the settings store holds, to read and to clean up.
#pragma once

#include <string>

namespace CLI {
class App;
}

namespace pictra {

// Adds the subcommand `settings` (list [PATTERN], show KEY, delete PATTERN) to
// `app` and returns it. Adds the program option --settings-db FILE, bound to
// `settingsPath`, unless `app` already has one (add yours first, bound to the
// same string); it is accepted after the subcommands too.
CLI::App* AddSettingsCommand(CLI::App& app, std::string& settingsPath);

// Runs the subcommand of `settings` that was parsed on the store at
// `settingsPath` (DefaultSettingsPath() when empty). Returns the exit status;
// failures throw with a one-line message.
int RunSettingsCommand(const std::string& settingsPath);

}  // namespace pictra
