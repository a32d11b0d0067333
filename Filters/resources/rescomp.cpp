// Build tool: writes the module's resource file from the declarative rows
// beside it (property lists, strings, dialogs, pictures) and from the
// settings tables the filters are built with, which it is linked with: the
// settings records the host's command line reads, and the range and initial
// value of every dialog control that shows a setting.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

#include "FilterList.h"
#include "host/DialogServices.h"
#include "host/ResourceFile.h"

namespace {

class PiplWriter {
public:
    void property(const char (&vendor)[5], const char (&key)[5], const ResourceFile::Bytes& data)
    {
        put32(FourCC(vendor));
        put32(FourCC(key));
        put32(0);
        put32(uint32_t(data.size()));
        body_.insert(body_.end(), data.begin(), data.end());
        while (body_.size() % 4 != 0)
            body_.push_back(0);
        ++count_;
    }

    ResourceFile::Bytes finish() const
    {
        ResourceFile::Bytes out{1, 0, 0, 0, 0, 0};  // signature 1 (16-bit), version 0
        for (int i = 0; i < 4; ++i)
            out.push_back(uint8_t(count_ >> (8 * i)));
        out.insert(out.end(), body_.begin(), body_.end());
        return out;
    }

private:
    void put32(uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            body_.push_back(uint8_t(v >> (8 * i)));
    }
    ResourceFile::Bytes body_;
    uint32_t count_ = 0;
};

ResourceFile::Bytes Le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

ResourceFile::Bytes Counted(const std::string& text)
{
    ResourceFile::Bytes out{uint8_t(text.size())};
    out.insert(out.end(), text.begin(), text.end());
    return out;
}

ResourceFile::Bytes FourCCData(const char (&code)[5]) { return Le32(FourCC(code)); }

ResourceFile::Bytes Pipl(int id, const std::string& name, const std::string& category, const std::string& help,
                         uint16_t modes, const char (&event)[5], uint32_t icon)
{
    PiplWriter pipl;
    pipl.property("8BIM", "kind", FourCCData("8BFM"));
    pipl.property("8BIM", "name", Counted(name));
    pipl.property("8BIM", "catg", Counted(category));
    pipl.property("DUD5", "help", Counted(help));
    // The mode mask is written first byte first: bitmap is the top bit of the first byte.
    pipl.property("8BIM", "mode", {uint8_t(modes >> 8), uint8_t(modes)});
    ResourceFile::Bytes cases;
    for (int i = 0; i < 7; ++i)
        cases.insert(cases.end(), {1, 1, 1, 0});
    pipl.property("8BIM", "fici", cases);
    ResourceFile::Bytes scripting = Le32(0);
    for (auto part : {FourCCData("fdct"), FourCCData(event)})
        scripting.insert(scripting.end(), part.begin(), part.end());
    scripting.insert(scripting.end(), {uint8_t(id >> 8), uint8_t(id), 0});
    pipl.property("8BIM", "hstm", scripting);
    pipl.property("8BIM", "vers", Le32(0x00040000));
    pipl.property("8BIM", "icon", Le32(icon));
    pipl.property("8BIM", "oflt", Le32(0));
    return pipl.finish();
}

// A dialog template: its title string, then its items.
class DialogWriter {
public:
    DialogWriter(int id, int32_t titleString) : id(id) { header_.u32(uint32_t(titleString)); }
    void item(int32_t itemId, int32_t kind, const std::string& label, double minimum, double maximum, double value)
    {
        items_.u32(uint32_t(itemId));
        items_.u32(uint32_t(kind));
        items_.text(label);
        items_.f64(minimum);
        items_.f64(maximum);
        items_.f64(value);
        ++count_;
    }
    ResourceFile::Bytes finish()
    {
        ByteWriter out = header_;
        out.u32(count_);
        out.bytes.insert(out.bytes.end(), items_.bytes.begin(), items_.bytes.end());
        return out.bytes;
    }
    int id;

private:
    ByteWriter header_;
    ByteWriter items_;
    uint32_t count_ = 0;
};

// A two-level picture: width, height, hot spot, then one byte a pixel
// (0 none, 1 ink, 2 outline). A picture whose text is not width x height
// characters stops the build.
ResourceFile::Bytes Picture(int width, int height, int hotX, int hotY, const std::string& pixels, bool cursor)
{
    if (int(pixels.size()) != width * height) {
        std::fprintf(stderr, "rescomp: a %dx%d picture needs %d pixels, not %zu\n", width, height, width * height,
                     pixels.size());
        std::exit(1);
    }
    ByteWriter out;
    out.u32(uint32_t(width));
    out.u32(uint32_t(height));
    if (cursor) {
        out.u32(uint32_t(hotX));
        out.u32(uint32_t(hotY));
    }
    for (char c : pixels)
        out.bytes.push_back(c == '#' ? 1 : c == 'o' ? 2 : 0);
    return out.bytes;
}

[[noreturn]] void Fail(const std::string& message)
{
    std::fprintf(stderr, "rescomp: %s\n", message.c_str());
    std::exit(1);
}

// The setting a control of dialog `dialogId` shows.
const px::Setting& SettingOfControl(int dialogId, int32_t item)
{
    for (const px::FilterRow& row : px::FilterList())
        if (row.unit->dialog == dialogId)
            if (const px::Setting* setting = px::SettingOfItem(row.unit->settings, item))
                return *setting;
    Fail("dialog " + std::to_string(dialogId) + ": item " + std::to_string(item) + " is no setting's slider or field");
}

// A Number item that shows a setting must take its range from it.
void CheckNotASetting(int dialogId, int32_t item, int32_t kind)
{
    if (kind != kItemNumber && kind != kItemSlider)
        return;
    for (const px::FilterRow& row : px::FilterList())
        if (row.unit->dialog == dialogId && px::SettingOfItem(row.unit->settings, item))
            Fail("dialog " + std::to_string(dialogId) + ": item " + std::to_string(item) +
                 " shows a setting: write it as SLIDER or FIELD");
}

// A slider's initial position: the setting's default, placed as its dialog places it.
double DefaultPosition(const px::Setting& setting)
{
    const double value = setting.defaultValue * setting.scale;
    const px::SliderMapping& mapping = setting.mapping;
    return mapping.position ? mapping.position(value) : (value - mapping.low) / mapping.span;
}

// The settings of one filter as the host reads them.
ResourceFile::Bytes SettingsRecord(px::SettingsTable settings)
{
    ByteWriter out;
    out.u32(uint32_t(settings.size()));
    for (const px::Setting& s : settings) {
        out.text(s.name);
        out.u32(s.key);
        out.u32(s.altKey);
        out.u32(s.type);
        out.f64(s.minimum);
        out.f64(s.maximum);
        out.f64(s.defaultValue);
        out.f64(s.scale);
        out.text(s.unit);
        out.text(s.description);
    }
    return out.bytes;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: rescomp OUTPUT\n");
        return 2;
    }
    ResourceFile resources;
    DialogWriter dialog(0, 0);
#define PIPL_FILTER(id, name, category, help, modes, event, icon) \
    resources.add(kResourcePIPL, id, Pipl(id, name, category, help, modes, event, icon));
#define STRING(id, text) resources.addString(id, text);
#define DIALOG(id, title) dialog = DialogWriter(id, title);
#define ITEM(itemId, kind, label, minimum, maximum, value) \
    CheckNotASetting(dialog.id, itemId, kItem##kind);      \
    dialog.item(itemId, kItem##kind, label, minimum, maximum, value);
#define SLIDER(itemId) dialog.item(itemId, kItemSlider, "", 0, 1, DefaultPosition(SettingOfControl(dialog.id, itemId)));
#define FIELD(itemId, label)                                                                             \
    {                                                                                                    \
        const px::Setting& setting = SettingOfControl(dialog.id, itemId);                                \
        dialog.item(itemId, kItemNumber, label, setting.dialogLowest() / setting.scale, setting.maximum, \
                    setting.defaultValue);                                                               \
    }
#define END_DIALOG() resources.add(kResourceDialog, dialog.id, dialog.finish());
#define BITMAP(id, width, height, pixels) \
    resources.add(kResourceBitmap, id, Picture(width, height, 0, 0, pixels, false));
#define CURSOR(id, hotX, hotY, width, height, pixels) \
    resources.add(kResourceCursor, id, Picture(width, height, hotX, hotY, pixels, true));
#include "resources/Resources.inc"
    for (const px::FilterRow& row : px::FilterList())
        if (!row.unit->settings.empty())
            resources.add(kResourceSettings, row.id, SettingsRecord(row.unit->settings));
    const ResourceFile::Bytes bytes = resources.serialise();
    const std::string temporary = std::string(argv[1]) + ".tmp";
    std::ofstream out(temporary, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    out.close();
    if (!out || std::rename(temporary.c_str(), argv[1]) != 0) {
        std::fprintf(stderr, "rescomp: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
