// The subcommands of pictra.
#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <vector>

namespace pictra {

struct CommonOptions {
    std::string modulePath;
    std::string settingsPath;  // empty: the host's default
    int threads = 0;  // 0: one per core
    bool quiet = false;
    bool showProgress = false;
    const std::atomic<bool>* interrupted = nullptr;  // Ctrl-C
};

struct RunRequest {
    std::string filter;
    std::string input;
    std::string output;
    std::vector<std::string> settings;  // NAME=VALUE
    std::string maskPath;
    std::string rect;  // X,Y,W,H
    std::string foreground;  // comma-separated samples
    std::string background;
    int tileSize = 0;
    int bandCount = 16;
    std::optional<std::string> dialogScript;  // run as from the menu, playing this script
    std::string previewOut;  // where to write what the dialog's preview showed
    std::vector<std::string> files;  // the file dialog's answers, in order
    std::string loadFile;  // a settings file for the dialog's Load... button
    std::string saveFile;  // a settings file for the dialog's Save... button
};

struct DialogRequest {
    std::string filter;
    std::string input;
    std::string script = "cancel";
    std::string previewOut;
    std::vector<std::string> files;
};

// Each returns the process's exit status; failures throw with a one-line message.
int ListFilters(const CommonOptions& options, bool json);
int DescribeFilter(const CommonOptions& options, const std::string& filter);
int RunFilter(const CommonOptions& options, const RunRequest& request);
int RunDemo(const CommonOptions& options, const std::string& folder);
int ShowDialog(const CommonOptions& options, const DialogRequest& request);

}  // namespace pictra
