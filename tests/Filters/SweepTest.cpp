// Every filter of the module's list, registered or entry-only, with its
// default settings, on every mode its property list takes, at every depth
// the image model makes, with and without transparency: whole, in tiles, at
// several band counts, on one and two workers, keeping no "before" (in place
// or with swapped planes), over a rectangle and through a selection.
//
// - How the work is cut never shows in the result.
// - A rectangle changes nothing outside it and inside gives the whole run's
//   pixels: neighbourhoods beyond its edges read the real image, so this
//   holds for neighbourhood filters as for pointwise ones.
// - A selection leaves its unselected pixels alone, takes the filtered
//   pixel where it is fully selected and a blend of the two in between.
// - The transparency plane changes exactly for the filters that filter it.
// - A random image comes out different, except where a filter is meant to
//   leave it alone; the run ends with 0 except where a filter is meant to
//   end otherwise; floats stay numbers; progress ends at its total.
// A filter added to the list is swept without a line here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "FilterList.h"
#include "TestSupport.h"

namespace pictra::test {
namespace {

constexpr int32_t kAnalyzer = 18000;

// Odd sizes: neither bands nor tiles divide the image evenly, and bitmap
// rows end inside a byte.
constexpr int32_t kWidth = 29;
constexpr int32_t kHeight = 23;
// Multichannel images get two planes, a count no other mode has.
constexpr int kMultichannelPlanes = 2;

// What the sweep checks of one filter on one kind of image.
enum class Check {
    kResult,  // the run's result code
    kBeep,  // a beep exactly where the filter refuses the mode
    kChange,  // a random image changes, or is left exactly alone
    kTransparency,  // the transparency plane changes exactly for the filters that filter it
    kFinite,  // 32-bit results are numbers
    kProgress,  // reports never pass their total, and end at it
    kCuts,  // every cut gives the whole run's result
    kRectangle,  // nothing outside the rectangle changes, inside is the whole run's result
    kSelection,  // unselected pixels alone, selected ones the whole run's, blends between
};

// Runs that end with another code than 0 by design.
struct EndsOtherwise {
    int32_t id;
    int16_t result;
    const char* why;
};
constexpr EndsOtherwise kEndsOtherwise[] = {
    {kAnalyzer, kUserCanceledErr, "the Analyzer only inspects the image and always ends with Cancel's code"},
};

// Filters that leave a random image exactly as it was, in these modes (none
// listed: in every mode), and whether they beep to say so.
struct LeavesAlone {
    int32_t id;
    std::vector<int16_t> modes;
    bool beeps;
    const char* why;
};
const LeavesAlone kLeavesAlone[] = {
    {kAnalyzer, {}, false, "it only inspects the image"},
    {kDesaturate,
     {kModeGrayscale, kModeHSL, kModeHSB, kModeMultichannel, kModeDuotone},
     true,
     "it desaturates RGB, CMYK and Lab, and refuses other modes with a beep"},
    {kThreshold, {kModeHSL, kModeHSB}, false, "it has no gray rule for HSL and HSB, and leaves them alone"},
};

// The filters that filter the transparency plane along with the colour
// planes. The module declares this inside each filter's pass, out of the
// host's sight, so it is stated here; every other filter must leave the
// plane alone.
struct FiltersTransparency {
    int32_t id;
    const char* why;
};
constexpr FiltersTransparency kFiltersTransparency[] = {
    {kBlur, "the 3x3 blurs smooth every plane"},
    {kBlurMore, "the 3x3 blurs smooth every plane"},
    {kBlurEdges, "the 3x3 blurs smooth every plane"},
    {kGaussianBlur, "it blurs every plane (unlike Unsharp Mask and High Pass)"},
    {kCustom, "it convolves every plane with its kernel"},
    {kAverage, "the rank filters work on every plane"},
    {kMedian, "the rank filters work on every plane"},
    {kDustAndScratches, "the rank filters work on every plane"},
    {kDespeckle, "the rank filters work on every plane"},
    {kMaximum, "the rank filters work on every plane"},
    {kMinimum, "the rank filters work on every plane"},
    {kPosterize, "it posterizes the stored value of every plane"},
};

// Faults the sweep found that are not fixed yet: on the kinds of image a row
// names (depth 0: every depth), the checks it names are expected to fail,
// and must: a row whose fault no longer shows fails the sweep until it is
// removed. Every other check still holds on those kinds.
struct KnownFault {
    int32_t id;
    int depth;
    bool onlyWithTransparency;
    std::vector<Check> breaks;
    const char* fault;
};
const KnownFault kKnownFaults[] = {
    {kInvert,
     32,
     false,
     {Check::kFinite, Check::kSelection},
     "Invert complements the four bytes of each float instead of taking 1 - v: 0 becomes NaN, 0.5 becomes -8; "
     "a selection's blend then spreads the NaN to unselected pixels"},
};

std::vector<int32_t> ListedIds()
{
    std::vector<int32_t> ids;
    for (const px::FilterRow& row : px::FilterList())
        ids.push_back(row.id);
    return ids;
}

bool Listed(int32_t id) { return px::FindFilter(id) != nullptr; }

int16_t ExpectedResult(int32_t id)
{
    for (const EndsOtherwise& e : kEndsOtherwise)
        if (e.id == id)
            return e.result;
    return kNoErr;
}

const LeavesAlone* LeftAlone(int32_t id, int16_t mode)
{
    for (const LeavesAlone& l : kLeavesAlone)
        if (l.id == id && (l.modes.empty() || std::find(l.modes.begin(), l.modes.end(), mode) != l.modes.end()))
            return &l;
    return nullptr;
}

bool FiltersTheTransparency(int32_t id)
{
    return std::any_of(std::begin(kFiltersTransparency), std::end(kFiltersTransparency),
                       [&](const FiltersTransparency& f) { return f.id == id; });
}

// One image kind a filter is swept on.
struct Kind {
    int16_t mode;
    int depth;
    bool transparency;
};

std::string Describe(const Kind& kind)
{
    return fmt::format("{} at {} bit{}{}", ModeName(kind.mode), kind.depth, kind.depth == 1 ? "" : "s",
                       kind.transparency ? " with transparency" : "");
}

const KnownFault* FaultOn(int32_t id, const Kind& kind)
{
    for (const KnownFault& f : kKnownFaults)
        if (f.id == id && (f.depth == 0 || f.depth == kind.depth) && (!f.onlyWithTransparency || kind.transparency))
            return &f;
    return nullptr;
}

// Every kind of image the image model makes in the modes `properties` takes:
// bitmaps at 1 bit; indexed images at 8; every other mode at 8, 16 and 32
// bits, with and without transparency. A mode the model cannot make is a failure.
std::vector<Kind> KindsTaken(const FilterProperties& properties)
{
    std::vector<Kind> kinds;
    for (int16_t mode = 0; mode < 16; ++mode) {
        if (!properties.acceptsMode(mode))
            continue;
        if (mode == kModeBitmap) {
            kinds.push_back({mode, 1, false});
        } else if (mode == kModeIndexed) {
            kinds.push_back({mode, 8, false});
        } else if (mode == kModeMultichannel || ColourPlanesOfMode(mode) > 0) {
            for (int depth : {8, 16, 32})
                for (bool transparency : {false, true})
                    kinds.push_back({mode, depth, transparency});
        } else {
            ADD_FAILURE() << properties.name << " takes mode " << mode << ", which the image model cannot make";
        }
    }
    return kinds;
}

// Every sample drawn from the depth's whole range (floats 0 to 1), and both
// ends of the range in every plane, at a corner and in the middle.
Image RandomOfKind(const Kind& kind, uint32_t seed)
{
    Image image(kWidth, kHeight, kind.mode, kind.depth, kind.transparency,
                kind.mode == kModeMultichannel ? kMultichannelPlanes : -1);
    if (kind.mode == kModeIndexed)
        for (int i = 0; i < 256; ++i)
            image.palette.push_back({uint8_t(i), uint8_t(255 - i), uint8_t(i / 2)});
    const double top = kind.depth == 1 ? 1 : kind.depth == 8 ? 255 : kind.depth == 16 ? 65535 : 1.0;
    std::mt19937 random(seed);
    for (int p = 0; p < image.planeCount(); ++p) {
        for (int32_t y = 0; y < kHeight; ++y)
            for (int32_t x = 0; x < kWidth; ++x) {
                const uint32_t r = random();
                image.setSample(p, x, y,
                                kind.depth == 1    ? double(r & 1)
                                : kind.depth == 8  ? double(r & 0xFF)
                                : kind.depth == 16 ? double(r & 0xFFFF)
                                                   : double(r % 1001) / 1000.0);
            }
        for (int32_t x : {0, kWidth / 2}) {
            image.setSample(p, x, x ? kHeight / 2 : 0, 0);
            image.setSample(p, x + 1, x ? kHeight / 2 : 0, top);
        }
    }
    return image;
}

bool SameSample(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

// The first sample, among the pixels `where` picks, at which `actual` is not
// `expected`; "" when there is none.
std::string FirstDifference(const Image& actual, const Image& expected,
                            const std::function<bool(int32_t x, int32_t y)>& where = nullptr)
{
    if (!where && actual == expected)
        return "";
    for (int p = 0; p < expected.planeCount(); ++p)
        for (int32_t y = 0; y < expected.height(); ++y)
            for (int32_t x = 0; x < expected.width(); ++x)
                if ((!where || where(x, y)) && !SameSample(actual.sample(p, x, y), expected.sample(p, x, y)))
                    return fmt::format("plane {} ({}, {}) is {} instead of {}", p, x, y, actual.sample(p, x, y),
                                       expected.sample(p, x, y));
    if (where)
        return "";
    for (int p = 0; p < expected.planeCount(); ++p)
        if (actual.samples(p) != expected.samples(p))
            return fmt::format("plane {}: the bits past the last column differ", p);
    return "the images differ beyond their samples";
}

bool ColourChanged(const Image& image, const Image& original)
{
    for (int p = 0; p < image.colourPlanes(); ++p)
        if (image.samples(p) != original.samples(p))
            return true;
    return false;
}

// The first sample of a 32-bit image that is no number; "" when there is none.
std::string FirstNonFinite(const Image& image)
{
    if (image.depth() != 32)
        return "";
    for (int p = 0; p < image.planeCount(); ++p)
        for (int32_t y = 0; y < image.height(); ++y)
            for (int32_t x = 0; x < image.width(); ++x)
                if (!std::isfinite(image.sample(p, x, y)))
                    return fmt::format("plane {} ({}, {}) is {}", p, x, y, image.sample(p, x, y));
    return "";
}

// What a run reported of its progress, as a fault or "".
struct ProgressLog {
    std::vector<std::pair<uint32_t, uint32_t>> reports;
    std::string fault() const
    {
        for (size_t i = 0; i < reports.size(); ++i) {
            const auto [done, total] = reports[i];
            if (done > total || total != reports[0].second || (i > 0 && done < reports[i - 1].first))
                return fmt::format("report {} of {} is {} of {}", i + 1, reports.size(), done, total);
        }
        if (!reports.empty() && reports.back().first != reports.back().second)
            return fmt::format("the last report is {} of {}", reports.back().first, reports.back().second);
        return "";
    }
};

// The checks of one filter on one kind of image, failing through gtest
// except where a known fault is expected to break them.
class Checks {
public:
    explicit Checks(const KnownFault* fault) : fault_(fault) {}

    // Holds when `ok`; `what` says what went wrong.
    void operator()(Check check, bool ok, const std::string& what)
    {
        if (fault_ && std::find(fault_->breaks.begin(), fault_->breaks.end(), check) != fault_->breaks.end()) {
            faultShown_ = faultShown_ || !ok;
            return;
        }
        if (!ok) {
            ADD_FAILURE() << what;
            failed_ = true;
        }
    }
    // A difference found by FirstDifference and friends: "" holds.
    void operator()(Check check, const std::string& difference, const std::string& what)
    {
        (*this)(check, difference.empty(), what + ": " + difference);
    }
    // After the last check: whether all held, and a known fault showed.
    bool passed()
    {
        if (fault_ && !faultShown_) {
            ADD_FAILURE() << "the known fault no longer shows; remove its row: " << fault_->fault;
            failed_ = true;
        }
        return !failed_;
    }

private:
    const KnownFault* fault_;
    bool faultShown_ = false;
    bool failed_ = false;
};

// How a run cuts the work.
struct Cut {
    int threads;
    int bands;
    int tile;
    bool keepBefore;  // false: pointwise filters may work in place
    // The image laid out with the snapshot's margin: with nothing kept, a
    // plane the filter overwrites whole is swapped instead of copied.
    bool margin = false;
};

std::string Describe(const Cut& cut)
{
    return fmt::format("{} thread{}, {} band{}, {}{}{}", cut.threads, cut.threads == 1 ? "" : "s", cut.bands,
                       cut.bands == 1 ? "" : "s", cut.tile ? fmt::format("tiles of {}", cut.tile) : "one tile",
                       cut.keepBefore ? "" : ", nothing kept to restore", cut.margin ? ", with a margin" : "");
}

// The reference: the whole image on one worker in one band. Then the cuts
// that must give its result.
constexpr Cut kReferenceCut{1, 1, 0, true};
constexpr Cut kCuts[] = {{2, 3, 0, true},  {1, 16, 0, true}, {2, 16, 7, true},       {1, 3, 16, true},
                         {2, 16, 3, true}, {2, 3, 7, false}, {2, 16, 0, false, true}};
constexpr Cut kRectangleCut{2, 3, 7, true};
constexpr Cut kSelectionCut{2, 16, 16, true};
constexpr Rect16 kRectangle{5, 6, 17, 21};

bool InRectangle(int32_t x, int32_t y)
{
    return y >= kRectangle.top && y < kRectangle.bottom && x >= kRectangle.left && x < kRectangle.right;
}

// A selection inside rows 3 to 19 and columns 4 to 25: a pattern of
// unselected, half-selected and selected pixels.
Image Selection()
{
    Image mask(kWidth, kHeight, kModeGrayscale, 8, false);
    for (int32_t y = 3; y < 20; ++y)
        for (int32_t x = 4; x < 26; ++x) {
            const int pattern = (x + 2 * y) % 5;
            mask.setSample(0, x, y, pattern == 0 ? 0 : pattern == 1 ? 128 : 255);
        }
    return mask;
}

// The first half-selected sample that is not between its value before and
// after the filter; "" when there is none.
std::string FirstBlendOutside(const Image& selected, const Image& before, const Image& after, const Image& mask)
{
    for (int p = 0; p < before.planeCount(); ++p)
        for (int32_t y = 0; y < kHeight; ++y)
            for (int32_t x = 0; x < kWidth; ++x) {
                const double weight = mask.sample(0, x, y);
                const double b = before.sample(p, x, y), a = after.sample(p, x, y), blend = selected.sample(p, x, y);
                if (weight > 0 && weight < 255 && !(blend >= std::min(a, b) && blend <= std::max(a, b)))
                    return fmt::format("plane {} ({}, {}) is {}, not between {} and {}", p, x, y, blend, b, a);
            }
    return "";
}

class Sweep : public ::testing::TestWithParam<int32_t> {
protected:
    // A fresh settings store: every filter runs with its defaults.
    StoreHost store;
    std::unique_ptr<Host> one = LoadedHost(HostSettings{.threads = 1, .settingsPath = store.settingsPath()});
    std::unique_ptr<Host> two = LoadedHost(HostSettings{.threads = 2, .settingsPath = store.settingsPath()});

    int16_t run(int32_t id, Image& image, const Cut& cut, std::optional<Rect16> rect = {}, const Image* mask = nullptr,
                ProgressLog* progress = nullptr)
    {
        Host& host = cut.threads == 1 ? *one : *two;
        RunOptions options{.rect = rect,
                           .mask = mask,
                           .tileSize = cut.tile,
                           .bandCount = cut.bands,
                           .restoreOnFailure = cut.keepBefore};
        if (progress)
            options.progress = [progress](uint32_t done, uint32_t total) {
                progress->reports.emplace_back(done, total);
            };
        return host.runFilter(id, image, options);
    }

    // Every check of one filter on one kind of image; returns whether all held.
    bool sweep(int32_t id, const Kind& kind, uint32_t seed);
};

bool Sweep::sweep(int32_t id, const Kind& kind, uint32_t seed)
{
    Checks check(FaultOn(id, kind));
    const int16_t expectedResult = ExpectedResult(id);
    const auto resultIs = [&](int16_t result, const std::string& run) {
        check(Check::kResult, result == expectedResult,
              fmt::format("{} ended with {} instead of {}", run, result, expectedResult));
    };
    const LeavesAlone* leftAlone = LeftAlone(id, kind.mode);

    // Two random images, whole on one worker in one band: the references,
    // and what the filter does to a random image. Each host's runs take
    // them in turn, so what one run leaves in the host (its snapshot, a
    // swapped plane) never holds the pixels the next run must see.
    const Image originals[2] = {RandomOfKind(kind, seed), RandomOfKind(kind, ~seed)};
    Image references[2] = {originals[0], originals[1]};
    for (int i = 0; i < 2; ++i) {
        const Image& original = originals[i];
        const Image& reference = references[i];
        ProgressLog progress;
        const int beepsBefore = one->beeps;
        resultIs(run(id, references[i], kReferenceCut, std::nullopt, nullptr, &progress), Describe(kReferenceCut));
        check(Check::kProgress, progress.fault(), "progress");
        check(Check::kFinite, FirstNonFinite(reference), "a 32-bit result is no number");
        check(Check::kBeep, (one->beeps > beepsBefore) == (leftAlone && leftAlone->beeps),
              one->beeps > beepsBefore ? "a beep" : "no beep");
        if (leftAlone) {
            check(Check::kChange, FirstDifference(reference, original),
                  std::string("the image changed, though ") + leftAlone->why);
            continue;
        }
        check(Check::kChange, ColourChanged(reference, original), "a random image came out unchanged");
        if (kind.transparency) {
            const int plane = original.transparencyPlane();
            const bool changed = reference.samples(plane) != original.samples(plane);
            check(Check::kTransparency, changed == FiltersTheTransparency(id),
                  changed ? "the transparency plane changed" : "the transparency plane did not change");
        }
    }
    int turn[3] = {};  // by threads: which image the host takes next
    const auto nextOn = [&](const Cut& cut) { return turn[cut.threads]++ % 2; };

    for (const Cut& cut : kCuts) {
        const int i = nextOn(cut);
        Image image = cut.margin ? WithWorkingMargin(originals[i]) : originals[i];
        resultIs(run(id, image, cut), Describe(cut));
        check(Check::kCuts, FirstDifference(image, references[i]),
              Describe(cut) + " against the whole image in one band");
    }

    const int r = nextOn(kRectangleCut);
    Image rectangle = originals[r];
    resultIs(run(id, rectangle, kRectangleCut, kRectangle), "the rectangle, " + Describe(kRectangleCut));
    check(Check::kRectangle,
          FirstDifference(rectangle, originals[r], [](int32_t x, int32_t y) { return !InRectangle(x, y); }),
          "outside the rectangle, " + Describe(kRectangleCut));
    check(Check::kRectangle, FirstDifference(rectangle, references[r], InRectangle),
          "inside the rectangle against the whole image, " + Describe(kRectangleCut));

    const Image mask = Selection();
    const auto weightIs = [&](int weight) {
        return [&mask, weight](int32_t x, int32_t y) { return mask.sample(0, x, y) == weight; };
    };
    const int m = nextOn(kSelectionCut);
    Image selected = originals[m];
    resultIs(run(id, selected, kSelectionCut, std::nullopt, &mask), "the selection, " + Describe(kSelectionCut));
    check(Check::kSelection, FirstDifference(selected, originals[m], weightIs(0)),
          "unselected pixels, " + Describe(kSelectionCut));
    check(Check::kSelection, FirstDifference(selected, references[m], weightIs(255)),
          "fully selected pixels against the whole image, " + Describe(kSelectionCut));
    check(Check::kSelection, FirstBlendOutside(selected, originals[m], references[m], mask),
          "half-selected pixels, " + Describe(kSelectionCut));
    return check.passed();
}

TEST_P(Sweep, EveryModeDepthAndCut)
{
    const int32_t id = GetParam();
    ASSERT_NE(one->filterEntry(id), nullptr) << "the list has filter " << id << " but the module hands out no entry";
    const std::optional<FilterProperties> properties = one->properties(id);
    const bool registered = px::FindFilter(id)->listing != px::Listing::kEntryOnly;
    ASSERT_TRUE(properties) << (registered ? "registered" : "entry-only") << " filter " << id
                            << " has no readable property list: the host cannot run it";
    const std::vector<Kind> kinds = KindsTaken(*properties);
    ASSERT_FALSE(kinds.empty()) << properties->name << " takes no mode";
    int failedKinds = 0;
    for (size_t k = 0; k < kinds.size() && failedKinds < 5; ++k) {
        SCOPED_TRACE(fmt::format("{} {} on {}", id, properties->name, Describe(kinds[k])));
        failedKinds += sweep(id, kinds[k], uint32_t(1000 * id + k)) ? 0 : 1;
    }
    EXPECT_EQ(failedKinds, 0) << "the sweep stops after five kinds of image with failures";
}

INSTANTIATE_TEST_SUITE_P(Filters, Sweep, ::testing::ValuesIn(ListedIds()),
                         [](const ::testing::TestParamInfo<int32_t>& info) { return std::to_string(info.param); });

// The sweep reaches every filter the module registers (its entry and
// property list are asserted with the filter's own sweep), and its tables
// name only filters of the list.
TEST(Sweep, CoversEveryFilterTheModuleRegisters)
{
    ASSERT_FALSE(px::FilterList().empty());
    for (bool scientific : {true, false}) {
        auto host = LoadedHost(HostSettings{.scientific = scientific});
        ASSERT_FALSE(host->registrations().empty());
        for (const Registration& r : host->registrations())
            EXPECT_TRUE(Listed(r.filterId)) << "filter " << r.filterId << " is registered but not in the list";
    }
    for (const EndsOtherwise& e : kEndsOtherwise)
        EXPECT_TRUE(Listed(e.id)) << e.id;
    for (const LeavesAlone& l : kLeavesAlone)
        EXPECT_TRUE(Listed(l.id)) << l.id;
    for (const FiltersTransparency& f : kFiltersTransparency)
        EXPECT_TRUE(Listed(f.id)) << f.id;
    for (const KnownFault& f : kKnownFaults)
        EXPECT_TRUE(Listed(f.id)) << f.id;
}

}  // namespace
}  // namespace pictra::test
