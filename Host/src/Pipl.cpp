#include "pictra/Pipl.h"

#include "host/PluginTypes.h"
#include "host/ResourceFile.h"
#include "pictra/Image.h"

namespace pictra {

std::vector<std::string> FilterProperties::modeNames() const
{
    std::vector<std::string> names;
    for (int16_t mode = kModeBitmap; mode <= kModeLab; ++mode)
        if (acceptsMode(mode))
            names.emplace_back(ModeName(mode));
    return names;
}

namespace {

uint32_t Le32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

std::optional<std::string> Counted(const uint8_t* data, uint32_t length)
{
    if (length < 1 || data[0] > length - 1)
        return std::nullopt;
    return std::string(reinterpret_cast<const char*>(data + 1), data[0]);
}

}  // namespace

std::optional<std::vector<SettingInfo>> ParseSettings(const std::vector<uint8_t>& bytes)
{
    ByteReader in(bytes);
    std::vector<SettingInfo> settings(in.u32());
    for (SettingInfo& s : settings) {
        s.name = in.text();
        s.key = in.u32();
        s.altKey = in.u32();
        s.type = in.u32();
        s.minimum = in.f64();
        s.maximum = in.f64();
        s.defaultValue = in.f64();
        s.scale = in.f64();
        s.unit = in.text();
        s.description = in.text();
        if (!in.ok)
            return std::nullopt;
    }
    return settings;
}

std::optional<FilterProperties> ParsePipl(int32_t id, const std::vector<uint8_t>& bytes)
{
    if (bytes.size() < 10 || bytes[0] != 1 || bytes[1] != 0)
        return std::nullopt;
    FilterProperties p;
    p.id = id;
    const uint32_t count = Le32(bytes.data() + 6);
    size_t at = 10;
    bool isFilter = false;
    for (uint32_t i = 0; i < count; ++i) {
        if (bytes.size() - at < 16)
            return std::nullopt;
        const uint32_t key = Le32(bytes.data() + at + 4);
        const uint32_t length = Le32(bytes.data() + at + 12);
        at += 16;
        const size_t padded = (size_t(length) + 3) & ~size_t(3);
        if (bytes.size() - at < padded)
            return std::nullopt;
        const uint8_t* data = bytes.data() + at;
        std::optional<std::string> text;
        if (key == FourCC("kind") && length >= 4) {
            isFilter = Le32(data) == FourCC("8BFM");
        } else if (key == FourCC("name") || key == FourCC("catg") || key == FourCC("help")) {
            if (!(text = Counted(data, length)))
                return std::nullopt;
            (key == FourCC("name") ? p.name : key == FourCC("catg") ? p.category : p.help) = *text;
        } else if (key == FourCC("mgrp") && length >= 4) {
            p.menuGroup = int32_t(Le32(data));
        } else if (key == FourCC("mode") && length >= 2) {
            p.modes = uint16_t(data[0] << 8 | data[1]);
        } else if (key == FourCC("hstm") && length >= 12) {
            p.event = Le32(data + 8);
        } else if (key == FourCC("icon") && length >= 4) {
            p.icon = int32_t(Le32(data));
        }
        at += padded;
    }
    if (!isFilter || p.name.empty())
        return std::nullopt;
    return p;
}

}  // namespace pictra
