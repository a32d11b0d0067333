// pictra: applies the module's filters to image files through the host.
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "Commands.h"
#include "SettingsCommand.h"

namespace {

std::atomic<bool> gInterrupted{false};

void OnInterrupt(int) { gInterrupted = true; }

// The module sits in ../lib beside bin/ after a build; PICTRA_MODULE overrides.
std::string DefaultModulePath()
{
    if (const char* path = std::getenv("PICTRA_MODULE"))
        return path;
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    return (self.parent_path().parent_path() / "lib" / "RUREROZI.PXT").string();
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{"pictra: run the RUREROZI filters on image files"};
    app.require_subcommand(1);
    app.footer(
        "FILTER is a filter id (16900) or its menu name in any case, with or without punctuation\n"
        "(\"Sharpen Edges\", \"sharpen-edges\", \"sharpenedges\").\n"
        "Images: PNG, TIFF, JPEG, PNM (PBM/PGM/PPM); the output keeps the input's mode and depth.\n"
        "\n"
        "Dialog scripts (--dialog, dialog --script): commands separated by ';', items by number\n"
        "or by their label in double quotes:\n"
        "  set ITEM VALUE    a slider's (0 to 1), field's or text's value\n"
        "  click ITEM        a button, check box or radio button\n"
        "  choose ITEM TEXT  a popup entry\n"
        "  idle [N]          N idle events: the live preview runs\n"
        "  redraw            the preview is drawn again\n"
        "  ok | cancel       end the dialog\n"
        "Example: pictra run posterize in.png out.png --dialog 'set 101 6; ok'");

    pictra::CommonOptions common;
    common.modulePath = DefaultModulePath();
    app.add_option("--module", common.modulePath, "the filter module to load")->capture_default_str();
    app.add_option("--settings-db", common.settingsPath,
                   "the settings store (default: $PICTRA_SETTINGS, else ~/.config/pictra/settings.db)");

    bool json = false;
    CLI::App* filters = app.add_subcommand("filters", "list every registered filter: id, name, category, modes");
    filters->add_flag("--json", json, "print JSON");

    std::string filterName;
    CLI::App* describe = app.add_subcommand("describe", "show a filter's modes, help and settings");
    describe->add_option("FILTER", filterName, "filter id or name")->required();

    pictra::RunRequest run;
    CLI::App* runCommand = app.add_subcommand("run", "run one filter on an image file and write the result");
    runCommand->add_option("FILTER", run.filter, "filter id or name")->required();
    runCommand->add_option("IN", run.input, "input image")->required();
    runCommand->add_option("OUT", run.output, "output image (written whole or not at all)")->required();
    runCommand->add_option("SETTINGS", run.settings, "NAME=VALUE settings of the filter");
    runCommand->add_option("--mask", run.maskPath, "8-bit grayscale selection; the result is blended by it");
    runCommand->add_option("--rect", run.rect, "X,Y,W,H: the area to filter");
    runCommand->add_option("--fore", run.foreground, "foreground colour, comma-separated samples in the image's mode");
    runCommand->add_option("--back", run.background, "background colour, comma-separated samples in the image's mode");
    runCommand->add_option("--threads", common.threads, "band workers (default: one per core)")
        ->check(CLI::Range(1, 256));
    runCommand->add_option("--tile", run.tileSize, "tile size in pixels (default: the whole area)")
        ->check(CLI::Range(1, 32767));
    runCommand->add_option("--bands", run.bandCount, "bands per pass, 1 to 16")->check(CLI::Range(1, 16));
    runCommand->add_flag("--quiet", common.quiet, "no progress bar, no alerts on stderr");
    runCommand->add_option("--dialog", run.dialogScript, "run as from the menu: show the dialog and play SCRIPT on it");
    runCommand->add_option("--preview-out", run.previewOut, "write what the dialog's live preview showed");
    runCommand->add_option("--file", run.files, "a path the file dialog answers with (repeat for several, in order)");
    runCommand->add_option("--load", run.loadFile,
                           "load the filter's settings from a settings file (its Load... button)");
    runCommand->add_option("--save", run.saveFile,
                           "save the filter's settings to a settings file (its Save... button)");

    pictra::DialogRequest dialogRequest;
    CLI::App* dialog =
        app.add_subcommand("dialog", "show a filter's dialog: its items after it opens, then play a script");
    dialog->add_option("FILTER", dialogRequest.filter, "filter id or name")->required();
    dialog->add_option("IN", dialogRequest.input, "the image the dialog previews")->required();
    dialog->add_option("--script", dialogRequest.script, "what the user does (default: cancel)")->capture_default_str();
    dialog->add_option("--preview-out", dialogRequest.previewOut, "write what the live preview showed");
    dialog->add_option("--file", dialogRequest.files,
                       "a path the file dialog answers with (repeat for several, in order)");

    std::string outputFolder = "out";
    CLI::App* demo = app.add_subcommand("demo", "run every registered filter on the built-in sample image");
    demo->add_option("OUTDIR", outputFolder, "folder for the PNGs")->capture_default_str();
    demo->add_option("--threads", common.threads, "band workers (default: one per core)")->check(CLI::Range(1, 256));
    demo->add_flag("--quiet", common.quiet, "print nothing");

    CLI::App* settings = pictra::AddSettingsCommand(app, common.settingsPath);

    CLI11_PARSE(app, argc, argv);

    std::signal(SIGINT, OnInterrupt);
    common.interrupted = &gInterrupted;
    common.showProgress = !common.quiet && isatty(STDERR_FILENO);

    try {
        if (*filters)
            return pictra::ListFilters(common, json);
        if (*describe)
            return pictra::DescribeFilter(common, filterName);
        if (*runCommand)
            return pictra::RunFilter(common, run);
        if (*dialog)
            return pictra::ShowDialog(common, dialogRequest);
        if (*settings)
            return pictra::RunSettingsCommand(common.settingsPath);
        return pictra::RunDemo(common, outputFolder);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "pictra: %s\n", error.what());
        return 1;
    }
}
