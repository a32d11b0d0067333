#include "Commands.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>

#include <fmt/format.h>

#include "SampleImage.h"
#include "io/ImageFiles.h"
#include "pictra/Host.h"

namespace pictra {

namespace {

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::unique_ptr<Host> LoadHost(const CommonOptions& options)
{
    HostSettings settings;
    settings.threads = options.threads;
    settings.settingsPath = options.settingsPath;
    auto host = std::make_unique<Host>(settings);
    host->echoAlerts = !options.quiet;
    host->loadModule(options.modulePath);
    return host;
}

// "Sharpen Edges", "sharpen-edges" and "SHARPENEDGES" all name one filter.
std::string NameKey(const std::string& name)
{
    std::string key;
    for (char c : name)
        if (std::isalnum(static_cast<unsigned char>(c)))
            key += char(std::tolower(static_cast<unsigned char>(c)));
    return key;
}

// A registered filter by id or name; by id also a filter the module has but
// does not put in the menu (Blur Edges 16005, Analyzer 18000).
FilterProperties ResolveFilter(Host& host, const std::string& name)
{
    const std::vector<FilterProperties> filters = host.registeredFilters();
    int32_t id = 0;
    const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), id);
    const bool numeric = error == std::errc() && end == name.data() + name.size();
    for (const FilterProperties& filter : filters)
        if (numeric ? filter.id == id : NameKey(filter.name) == NameKey(name))
            return filter;
    if (numeric && host.filterEntry(id))
        if (std::optional<FilterProperties> unlisted = host.properties(id))
            return *unlisted;
    throw UsageError(fmt::format("unknown filter '{}' (`pictra filters` lists them)", name));
}

std::string JsonString(const std::string& text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        if (static_cast<unsigned char>(c) < 0x20)
            out += fmt::format("\\u{:04x}", int(c));
        else
            out += c;
    }
    return out + '"';
}

std::vector<int> ParseIntegers(const std::string& text, const char* what)
{
    std::vector<int> values;
    size_t at = 0;
    while (at <= text.size()) {
        const size_t comma = std::min(text.find(',', at), text.size());
        int value = 0;
        const auto [end, error] = std::from_chars(text.data() + at, text.data() + comma, value);
        if (error != std::errc() || end != text.data() + comma)
            throw UsageError(fmt::format("{} '{}' is not a comma-separated list of whole numbers", what, text));
        values.push_back(value);
        at = comma + 1;
    }
    return values;
}

Rect16 ParseRect(const std::string& text, const Image& image)
{
    const std::vector<int> v = ParseIntegers(text, "--rect");
    if (v.size() != 4 || v[2] <= 0 || v[3] <= 0)
        throw UsageError(fmt::format("--rect '{}' must be X,Y,W,H with a positive width and height", text));
    if (v[0] < 0 || v[1] < 0 || v[0] + v[2] > image.width() || v[1] + v[3] > image.height())
        throw UsageError(fmt::format("--rect '{}' lies outside the {}x{} image", text, image.width(), image.height()));
    return Rect16{int16_t(v[1]), int16_t(v[0]), int16_t(v[1] + v[3]), int16_t(v[0] + v[2])};
}

Colour ParseColour(const std::string& text, const char* option)
{
    const std::vector<int> v = ParseIntegers(text, option);
    if (v.empty() || v.size() > 4 || std::any_of(v.begin(), v.end(), [](int s) { return s < 0 || s > 255; }))
        throw UsageError(fmt::format("{} '{}' must be 1 to 4 samples from 0 to 255", option, text));
    Colour colour;
    std::copy(v.begin(), v.end(), colour.samples.begin());
    return colour;
}

// A selection is an 8-bit grayscale image of the image's size (a bitmap counts: white is selected).
Image ReadMask(const std::string& path, const Image& image)
{
    Image mask = ReadImage(path);
    if (mask.width() != image.width() || mask.height() != image.height())
        throw UsageError(fmt::format("{}: the mask is {}x{} but the image is {}x{}", path, mask.width(), mask.height(),
                                     image.width(), image.height()));
    if (mask.mode() == kModeBitmap) {
        Image gray(mask.width(), mask.height(), kModeGrayscale, 8, false);
        for (int32_t y = 0; y < mask.height(); ++y)
            for (int32_t x = 0; x < mask.width(); ++x)
                gray.setSample(0, x, y, mask.sample(0, x, y) * 255);
        return gray;
    }
    if (mask.mode() != kModeGrayscale || mask.depth() != 8 || mask.hasTransparency())
        throw UsageError(fmt::format("{}: a mask must be an 8-bit grayscale image", path));
    return mask;
}

class ProgressBar {
public:
    explicit ProgressBar(bool show) : show_(show) {}
    ~ProgressBar()
    {
        if (drawn_)
            std::fputs("\r\033[K", stderr);
    }
    void update(uint32_t done, uint32_t total)
    {
        if (!show_ || total == 0)
            return;
        // A filter that reports more than its total still gets a whole bar.
        const int percent = int(std::min<uint64_t>(uint64_t(done) * 100 / total, 100));
        if (percent == last_)
            return;
        last_ = percent;
        drawn_ = true;
        const int filled = percent / 4;
        std::fprintf(stderr, "\r[%s%s] %3d%%", std::string(size_t(filled), '#').c_str(),
                     std::string(size_t(25 - filled), '.').c_str(), percent);
    }

private:
    bool show_;
    bool drawn_ = false;
    int last_ = -1;
};

void CheckResult(const Host& host, int16_t result, const FilterProperties& filter)
{
    if (result == 0)
        return;
    if (!host.dialogError.empty())
        throw std::runtime_error(fmt::format("{}: {}", filter.name, host.dialogError));
    throw std::runtime_error(fmt::format("{}: {}", filter.name, DescribeResult(result)));
}

std::string RangeText(const SettingInfo& s)
{
    return fmt::format("{:g} to {:g}{}{}", s.minimum, s.maximum, s.unit.empty() ? "" : " ", s.unit);
}

// NAME=VALUE pairs in user units, checked against the filter's settings and
// put into a descriptor under the filter's keys.
HostDescriptor SettingsDescriptor(const Host& host, const FilterProperties& filter,
                                  const std::vector<std::string>& pairs)
{
    const std::vector<SettingInfo> settings = host.settingsOf(filter.id);
    // A list NAME=v0,v1,... stands for the settings NAME[0], NAME[1], ...
    std::vector<std::string> expanded;
    for (const std::string& pair : pairs) {
        const size_t equals = pair.find('=');
        if (equals == std::string::npos || equals == 0)
            throw UsageError(fmt::format("'{}' is not NAME=VALUE", pair));
        const std::string name = pair.substr(0, equals);
        size_t count = 0;
        while (std::any_of(settings.begin(), settings.end(),
                           [&](const SettingInfo& s) { return s.name == fmt::format("{}[{}]", name, count); }))
            ++count;
        if (count == 0) {
            expanded.push_back(pair);
            continue;
        }
        std::vector<std::string> values;
        for (size_t at = equals + 1; at <= pair.size();) {
            const size_t comma = std::min(pair.find(',', at), pair.size());
            values.push_back(pair.substr(at, comma - at));
            at = comma + 1;
        }
        if (values.size() != count)
            throw UsageError(fmt::format("{} takes {} comma-separated values, not {}", name, count, values.size()));
        for (size_t i = 0; i < count; ++i)
            expanded.push_back(fmt::format("{}[{}]={}", name, i, values[i]));
    }
    HostDescriptor descriptor;
    for (const std::string& pair : expanded) {
        const size_t equals = pair.find('=');
        const std::string name = pair.substr(0, equals);
        const std::string text = pair.substr(equals + 1);
        const auto setting = std::find_if(settings.begin(), settings.end(), [&](const SettingInfo& s) {
            return s.name == name || NameKey(s.name) == NameKey(name);
        });
        if (setting == settings.end()) {
            if (settings.empty())
                throw UsageError(fmt::format("{} has no settings; '{}' cannot be set", filter.name, name));
            std::string names;
            for (const SettingInfo& s : settings)
                names += (names.empty() ? "" : ", ") + s.name;
            throw UsageError(fmt::format("{} has no setting '{}' (it has: {})", filter.name, name, names));
        }
        double value = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value))
            throw UsageError(fmt::format("{}: '{}' is not a number", setting->name, text));
        if (value < setting->minimum || value > setting->maximum)
            throw UsageError(fmt::format("{} {} is out of range: {}", setting->name, text, RangeText(*setting)));
        const double scaled = value * setting->scale;
        if (setting->type == typeInteger) {
            if (std::abs(scaled - std::round(scaled)) > 1e-9)
                throw UsageError(fmt::format("{} takes steps of {:g}; {} is between two", setting->name,
                                             1.0 / setting->scale, text));
            descriptor.putInteger(setting->key, int32_t(std::lround(scaled)));
        } else {
            descriptor.putFloat(setting->key, scaled);
        }
    }
    return descriptor;
}

}  // namespace

int ListFilters(const CommonOptions& options, bool json)
{
    const std::unique_ptr<Host> host = LoadHost(options);
    const std::vector<FilterProperties> filters = host->registeredFilters();
    if (!json) {
        for (const FilterProperties& f : filters) {
            std::string modes;
            for (const std::string& mode : f.modeNames())
                modes += (modes.empty() ? "" : ",") + mode;
            fmt::print("{:5}  {:<24} {:<10} {}\n", f.id, f.name, f.category, modes);
        }
        return 0;
    }
    fmt::print("[\n");
    for (size_t i = 0; i < filters.size(); ++i) {
        const FilterProperties& f = filters[i];
        std::string modes;
        for (const std::string& mode : f.modeNames())
            modes += (modes.empty() ? "" : ", ") + JsonString(mode);
        fmt::print("  {{\"id\": {}, \"name\": {}, \"category\": {}, \"help\": {}, \"modes\": [{}]}}{}\n", f.id,
                   JsonString(f.name), JsonString(f.category), JsonString(f.help), modes,
                   i + 1 < filters.size() ? "," : "");
    }
    fmt::print("]\n");
    return 0;
}

int DescribeFilter(const CommonOptions& options, const std::string& name)
{
    const std::unique_ptr<Host> host = LoadHost(options);
    const FilterProperties f = ResolveFilter(*host, name);
    std::string modes;
    for (const std::string& mode : f.modeNames())
        modes += (modes.empty() ? "" : ", ") + mode;
    fmt::print("{} ({})\n  category: {}\n  help:     {}\n  modes:    {}\n", f.name, f.id, f.category, f.help, modes);
    const std::vector<SettingInfo> settings = host->settingsOf(f.id);
    if (settings.empty())
        fmt::print("  settings: none\n");
    else
        fmt::print("  settings:\n");
    for (const SettingInfo& s : settings)
        fmt::print("    {}={:g}  {} ({}{})\n", s.name, s.defaultValue, s.description, RangeText(s),
                   s.type == typeInteger && s.scale == 1 ? ", whole numbers" : "");
    return 0;
}

int RunFilter(const CommonOptions& options, const RunRequest& request)
{
    const std::unique_ptr<Host> host = LoadHost(options);
    const FilterProperties filter = ResolveFilter(*host, request.filter);
    const HostDescriptor descriptor = SettingsDescriptor(*host, filter, request.settings);
    // --load and --save play the dialog's Load... and Save... buttons.
    std::optional<std::string> script = request.dialogScript;
    std::vector<std::string> files = request.files;
    for (const auto& [path, label] : {std::pair{request.loadFile, "Load..."}, std::pair{request.saveFile, "Save..."}}) {
        if (path.empty())
            continue;
        if (request.dialogScript)
            throw UsageError("--load and --save play the dialog themselves; leave out --dialog");
        script = fmt::format("{}click \"{}\"; ", script.value_or(""), label);
        files.push_back(path);
    }
    if (script && !request.dialogScript)
        *script += "ok";
    if (request.dialogScript && !request.settings.empty())
        throw UsageError("settings come from the dialog script or from NAME=VALUE pairs, not both");
    if (script)
        host->dialogScript = ParseDialogScript(*script);
    host->fileAnswers.assign(files.begin(), files.end());

    Image image = ReadImage(request.input);
    RunOptions run;
    run.showDialog = script.has_value();
    run.restoreOnFailure = false;  // a failed run writes nothing, so the image need not be kept
    if (!request.settings.empty())
        run.descriptor = &descriptor;
    Image mask;
    if (!request.maskPath.empty()) {
        mask = ReadMask(request.maskPath, image);
        run.mask = &mask;
    }
    if (!request.rect.empty())
        run.rect = ParseRect(request.rect, image);
    if (!request.foreground.empty())
        image.foreground = ParseColour(request.foreground, "--fore");
    if (!request.background.empty())
        image.background = ParseColour(request.background, "--back");
    run.tileSize = request.tileSize;
    run.bandCount = request.bandCount;
    ProgressBar bar(options.showProgress);
    run.progress = [&bar](uint32_t done, uint32_t total) { bar.update(done, total); };
    run.abort = [&options] { return options.interrupted && options.interrupted->load(); };

    CheckResult(*host, host->runFilter(filter.id, image, run), filter);
    // A settings file that could not be loaded or saved fails the run: the
    // user asked for it and nobody is there to see the alert.
    if (!host->errorAlerts.empty())
        throw std::runtime_error(fmt::format("{}: {}", filter.name, host->errorAlerts.front()));
    if (!request.previewOut.empty()) {
        if (!host->previewImage)
            throw UsageError(fmt::format("{} showed no preview", filter.name));
        WriteImage(*host->previewImage, request.previewOut);
    }
    WriteImage(image, request.output);
    if (!host->storeError.empty())
        throw HostError(host->storeError);
    return 0;
}

int ShowDialog(const CommonOptions& options, const DialogRequest& request)
{
    const std::unique_ptr<Host> host = LoadHost(options);
    const FilterProperties filter = ResolveFilter(*host, request.filter);
    host->dialogScript = ParseDialogScript(request.script);
    host->fileAnswers.assign(request.files.begin(), request.files.end());
    host->onDialogOpened = [](const std::string& title, const std::vector<DialogItemState>& items) {
        fmt::print("{}\n", title);
        for (const DialogItemState& item : items) {
            fmt::print("  {:5}  {:<9} {:<14}", item.id, ItemKindName(item.kind),
                       item.label.empty() ? "-" : "\"" + item.label + "\"");
            if (item.kind == kItemSlider || item.kind == kItemNumber || item.kind == kItemCheckBox ||
                item.kind == kItemPopup)
                fmt::print(" value {:g}", item.value);
            if (item.kind == kItemNumber || item.kind == kItemSlider)
                fmt::print(" range {:g} to {:g}", item.minimum, item.maximum);
            if (!item.text.empty())
                fmt::print(" text \"{}\"", item.text);
            fmt::print("\n");
        }
    };
    Image image = ReadImage(request.input);
    RunOptions run;
    run.showDialog = true;
    const int16_t result = host->runFilter(filter.id, image, run);
    if (!host->dialogError.empty())
        throw std::runtime_error(fmt::format("{}: {}", filter.name, host->dialogError));
    if (!request.previewOut.empty()) {
        if (!host->previewImage)
            throw UsageError(fmt::format("{} showed no preview", filter.name));
        WriteImage(*host->previewImage, request.previewOut);
    }
    if (result != 0 && result != kUserCanceledErr)
        CheckResult(*host, result, filter);
    if (!host->storeError.empty())
        throw HostError(host->storeError);
    return 0;
}

int RunDemo(const CommonOptions& options, const std::string& folder)
{
    const std::unique_ptr<Host> host = LoadHost(options);
    std::filesystem::create_directories(folder);
    const Image sample = MakeSampleImage();
    WriteImage(sample, (std::filesystem::path(folder) / "sample.png").string());
    for (const FilterProperties& filter : host->registeredFilters()) {
        Image image = filter.acceptsMode(kModeRGB) ? sample : MakeSampleImage(kModeGrayscale);
        CheckResult(*host, host->runFilter(filter.id, image), filter);
        const std::string path =
            (std::filesystem::path(folder) / fmt::format("{}-{}.png", filter.id, NameKey(filter.name))).string();
        WriteImage(image, path);
        if (!options.quiet)
            fmt::print("{}\n", path);
    }
    return 0;
}

}  // namespace pictra
