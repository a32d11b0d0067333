// The dialog object of the larger dialogs, run in-process on the Analyzer's
// template through the real host's headless dialogs: its item operations,
// popup menus from string ranges, control bitmaps and cursors.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "HostInternal.h"
#include "TestSupport.h"
#include "framework/DialogObject.h"
#include "framework/Module.h"

namespace pictra::test {
namespace {

using ::testing::ElementsAre;

constexpr int16_t kTemplate = 5286;  // any dialog of the module serves

class ProbeDialog : public px::DialogObject {
public:
    ProbeDialog() : DialogObject(kTemplate, 18017) {}
    std::vector<uint32_t> events;
    int16_t bitmapResult = 1;
    int16_t missingBitmapResult = 1;

protected:
    bool handle(int32_t item, uint32_t event) override
    {
        events.push_back(event);
        if (event == kDialogInit) {
            configure(ControlDesc{kItemNumber, 130, 0, 4, 0.5, 2, kControlDisabled});
            setText(120, "half");
            attachMenu(110, 18092, 18093);
            bitmapResult = setBitmap(150, 777);
            missingBitmapResult = setBitmap(160, 778);
            show(160, false);
            return true;
        }
        if (event == kDialogItemHit && item == kItemOk) {
            setValue(120, text(120) == "half" ? 0.5 : 0.0);
            end(0);
            return true;
        }
        return false;
    }
};

class DialogObjectTest : public ::testing::Test {
protected:
    DialogObjectTest() : host_(LoadedHost()), scope_(host_.get(), nullptr), saved_(px::gModule)
    {
        px::gModule.callbacks = CallbackTable();
        px::gModule.hostGlobals = nullptr;
    }
    ~DialogObjectTest() override { px::gModule = saved_; }

    std::unique_ptr<Host> host_;
    ActiveScope scope_;
    px::ModuleContext saved_;
};

TEST_F(DialogObjectTest, WrapsTheItemServicesOneToOne)
{
    // A bitmap only the host has: the module's instance is searched first, then the host's.
    host_->resources()->add(kResourceBitmap, 777, {1, 0, 0, 0, 1, 0, 0, 0, 1});
    host_->dialogScript = ParseDialogScript("ok");
    ProbeDialog dialog;
    ASSERT_EQ(dialog.run(), 0);
    EXPECT_THAT(dialog.events, ElementsAre(kDialogInit, kDialogItemHit, kDialogDestroy));
    EXPECT_EQ(dialog.bitmapResult, 0);
    EXPECT_EQ(dialog.missingBitmapResult, kResourceNotFoundErr);

    auto item = [&](int id) {
        for (const DialogItemState& i : host_->lastDialogItems)
            if (i.id == id)
                return i;
        return DialogItemState{};
    };
    EXPECT_EQ(item(130).kind, kItemNumber);
    EXPECT_EQ(item(130).maximum, 4);
    EXPECT_EQ(item(130).decimals, 2);
    EXPECT_FALSE(item(130).enabled);
    EXPECT_EQ(item(120).value, 0.5) << "the text set at init was read back";
    EXPECT_THAT(item(110).choices,
                ElementsAre("Select a range of colors in the image", "Feather the mask of selected pixels"));
    EXPECT_EQ(item(150).bitmap, 777);
    EXPECT_FALSE(item(160).visible);
}

TEST_F(DialogObjectTest, CursorsComeFromTheModuleOrTheSystem)
{
    const HostDialogServices& dialogs = *CallbackTable()->dialogs;
    EXPECT_EQ(dialogs.SetCursor(px::ModuleInstance(), 5301), 0) << "the add eyedropper";
    EXPECT_EQ(host_->cursor, 5301);
    EXPECT_EQ(dialogs.SetCursor(px::ModuleInstance(), kCursorCross), 0);
    EXPECT_EQ(host_->cursor, kCursorCross);
    EXPECT_EQ(dialogs.SetCursor(px::ModuleInstance(), 4242), kResourceNotFoundErr);
    EXPECT_EQ(host_->cursor, kCursorCross) << "an unknown cursor changes nothing";
    dialogs.CaptureMouse(nullptr);
    EXPECT_TRUE(host_->mouseCaptured);
    dialogs.ReleaseMouse(nullptr);
    EXPECT_FALSE(host_->mouseCaptured);
}

}  // namespace
}  // namespace pictra::test
