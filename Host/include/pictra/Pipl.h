// A filter's property list, as the host reads it from the module's resources.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pictra {

struct FilterProperties {
    int32_t id = 0;
    std::string name;  // menu name, "Gaussian Blur..."
    std::string category;  // submenu; empty when the filter has a menu group instead
    int32_t menuGroup = 0;  // host menu id, 0 when the filter has a category
    std::string help;  // status-line help
    uint16_t modes = 0;  // bitmap in the top bit
    uint32_t event = 0;  // scripting event code
    int32_t icon = 0;

    bool acceptsMode(int16_t mode) const { return mode >= 0 && mode < 16 && (modes & (0x8000u >> mode)) != 0; }
    // Names of the accepted modes, in mode order.
    std::vector<std::string> modeNames() const;
};

// One setting of a filter as users and scripts name it ('PXST' resources).
struct SettingInfo {
    std::string name;  // "levels"
    uint32_t key = 0;  // descriptor key
    uint32_t altKey = 0;  // also accepted by the filter; 0 for none
    uint32_t type = 0;  // 'long' or 'doub'
    double minimum = 0, maximum = 0, defaultValue = 0;
    double scale = 1;  // descriptor value = user value x scale
    std::string unit;
    std::string description;
};

// Parses a 'PXST' resource; nullopt when it is malformed.
std::optional<std::vector<SettingInfo>> ParseSettings(const std::vector<uint8_t>& bytes);

// Parses a 'PiPL' resource; nullopt when it is malformed.
std::optional<FilterProperties> ParsePipl(int32_t id, const std::vector<uint8_t>& bytes);

}  // namespace pictra
