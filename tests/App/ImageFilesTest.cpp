// Format choice, content sniffing, refusals and the all-or-nothing write.
#include <sys/stat.h>

#include <filesystem>

#include "App/IoTestSupport.h"

namespace pictra::test {
namespace {

TEST(ImageFiles, FormatFollowsTheExtensionInAnyCase)
{
    EXPECT_EQ(FormatForPath("a/b.PNG"), FileFormat::PNG);
    EXPECT_EQ(FormatForPath("x.tif"), FileFormat::TIFF);
    EXPECT_EQ(FormatForPath("x.Tiff"), FileFormat::TIFF);
    EXPECT_EQ(FormatForPath("x.jpeg"), FileFormat::JPEG);
    EXPECT_EQ(FormatForPath("x.JPG"), FileFormat::JPEG);
    for (const char* name : {"x.pnm", "x.pbm", "x.PGM", "x.ppm"})
        EXPECT_EQ(FormatForPath(name), FileFormat::PNM) << name;

    EXPECT_EQ(ErrorOf([] { FormatForPath("dir.png/picture.bmp"); }),
              "dir.png/picture.bmp: unknown image file extension \".bmp\"; use .png, .tif, .tiff, .jpg, .jpeg, .pnm, "
              ".pbm, .pgm or .ppm");
    EXPECT_EQ(ErrorOf([] { FormatForPath("dir.png/.png"); }).rfind("dir.png/.png: no file extension", 0), 0u);
}

TEST(ImageFiles, ReadingRecognisesTheContentNotTheName)
{
    ScratchFolder folder;
    const std::string disguised = folder.path("really-a-png.jpg");
    WriteBytes(disguised, ReadBytes(IoData("pngsuite/basn2c08.png")));
    const Image image = ReadImage(disguised);
    EXPECT_EQ(image.mode(), kModeRGB);
    EXPECT_EQ(image.width(), 32);

    const std::string text = folder.path("notes.png");
    WriteBytes(text, {'h', 'e', 'l', 'l', 'o', '\n'});
    EXPECT_EQ(ErrorOf([&] { ReadImage(text); }), text + ": not a PNG file (bad signature)");
    const std::string unnamed = folder.path("notes");
    WriteBytes(unnamed, {'h', 'e', 'l', 'l', 'o', '\n'});
    EXPECT_EQ(ErrorOf([&] { ReadImage(unnamed); }), unnamed + ": not a PNG, TIFF, JPEG or PNM file");
    const std::string empty = folder.path("empty.tif");
    WriteBytes(empty, {});
    EXPECT_EQ(ErrorOf([&] { ReadImage(empty); }), empty + ": empty file");
    const std::string missing = folder.path("missing.png");
    EXPECT_EQ(ErrorOf([&] { ReadImage(missing); }), missing + ": cannot open: No such file or directory");
    EXPECT_EQ(ErrorOf([&] { ReadImage(folder.path("")); }).rfind(folder.path("") + ": cannot read: ", 0), 0u);
}

TEST(ImageFiles, RefusesWhatTheFormatCannotHoldAndWritesNothing)
{
    struct Case {
        int16_t mode;
        int depth;
        bool transparency;
        const char* name;
        const char* message;
    };
    const Case cases[] = {
        {kModeCMYK, 8, false, "y.png", "cannot write a CMYK image as PNG; use .tif"},
        {kModeGrayscale, 32, false, "y.png", "cannot write a 32-bit grayscale image as PNG; use .tif"},
        {kModeLab, 16, false, "y.png", "cannot write a Lab image as PNG; use .tif"},
        {kModeIndexed, 8, false, "y.jpg", "cannot write an indexed image as JPEG; use .png or .tif"},
        {kModeRGB, 8, true, "y.jpg", "cannot write an RGB image with transparency as JPEG; use .png or .tif"},
        {kModeRGB, 16, false, "y.jpeg", "cannot write a 16-bit RGB image as JPEG; use .png or .tif"},
        {kModeBitmap, 1, false, "y.jpg", "cannot write a bitmap image as JPEG; use .png or .tif"},
        {kModeRGB, 32, false, "y.ppm", "cannot write a 32-bit RGB image as PNM; use .tif"},
        {kModeGrayscale, 8, true, "y.pgm", "cannot write a grayscale image with transparency as PNM; use .png or .tif"},
        {kModeCMYK, 8, false, "y.pnm", "cannot write a CMYK image as PNM; use .tif"},
        {kModeRGB, 8, false, "y.pgm", "cannot write an RGB image as PGM; use .ppm or .pnm"},
        {kModeBitmap, 1, false, "y.ppm", "cannot write a bitmap image as PPM; use .pbm or .pnm"},
        {kModeDuotone, 8, false, "y.tif", "cannot write a duotone image as TIFF"},
        {kModeIndexed, 8, true, "y.tif", "cannot write an indexed image with transparency as TIFF"},
    };
    for (const Case& c : cases) {
        ScratchFolder folder;
        const Image image = RandomImage(3, 2, c.mode, c.depth, c.transparency, 1, -1, 4);
        const std::string path = folder.path(c.name);
        EXPECT_EQ(ErrorOf([&] { WriteImage(image, path); }), path + ": " + c.message);
        EXPECT_TRUE(folder.entries().empty()) << c.name;
    }
}

TEST(ImageFiles, RefusesInconsistentIndexedAndEmptyImages)
{
    ScratchFolder folder;
    const std::string path = folder.path("i.png");
    Image indexed = RandomImage(4, 3, kModeIndexed, 8, false, 2, -1, 5);
    indexed.setSample(0, 3, 2, 5);
    EXPECT_EQ(ErrorOf([&] { WriteImage(indexed, path); }),
              path + ": cannot write an indexed image whose pixel 3,2 uses colour 5 of a 5-colour palette");
    indexed.palette.clear();
    EXPECT_EQ(ErrorOf([&] { WriteImage(indexed, path); }),
              path + ": cannot write an indexed image with 0 palette entries (1 to 256 are possible)");
    EXPECT_EQ(ErrorOf([&] { WriteImage(Image(0, 5, kModeRGB, 8, false), path); }),
              path + ": cannot write an empty image (0 x 5)");
    EXPECT_TRUE(folder.entries().empty());
}

TEST(ImageFiles, AFailedWriteLeavesTheTargetAndTheFolderAsTheyWere)
{
    ScratchFolder folder;
    const std::string target = folder.path("keep.png");
    const std::vector<uint8_t> original = {'o', 'l', 'd'};
    WriteBytes(target, original);
    const Image cmyk = RandomImage(4, 4, kModeCMYK, 8, false, 3);
    EXPECT_NE(ErrorOf([&] { WriteImage(cmyk, target); }), "");
    EXPECT_EQ(ReadBytes(target), original);

    // The rename itself fails when the target is a folder: the bytes were
    // written, and the temporary file must still go.
    const std::string folderTarget = folder.path("taken.png");
    std::filesystem::create_directory(folderTarget);
    const Image rgb = RandomImage(4, 4, kModeRGB, 8, false, 4);
    EXPECT_EQ(ErrorOf([&] { WriteImage(rgb, folderTarget); }).rfind(folderTarget + ": cannot replace the file: ", 0),
              0u);
    EXPECT_EQ(folder.entries(), (std::vector<std::string>{"keep.png", "taken.png"}));

    const std::string underAFile = target + "/x.png";
    EXPECT_EQ(ErrorOf([&] { WriteImage(rgb, underAFile); }),
              underAFile + ": cannot create a file in " + target + ": Not a directory");
    const std::string nowhere = folder.path("no/such/folder/x.tif");
    EXPECT_EQ(ErrorOf([&] { WriteImage(rgb, nowhere); }).rfind(nowhere + ": cannot create a file in ", 0), 0u);
    EXPECT_EQ(folder.entries(), (std::vector<std::string>{"keep.png", "taken.png"}));
    EXPECT_EQ(ReadBytes(target), original);
}

TEST(ImageFiles, ASuccessfulWriteReplacesTheTargetAndKeepsItsPermissions)
{
    ScratchFolder folder;
    const std::string target = folder.path("out.tif");
    WriteBytes(target, {'o', 'l', 'd'});
    ASSERT_EQ(chmod(target.c_str(), 0640), 0);
    const Image image = RandomImage(5, 3, kModeRGB, 16, false, 5);
    WriteImage(image, target);
    EXPECT_EQ(ReadImage(target), image);
    struct stat status {};
    ASSERT_EQ(stat(target.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0640u);
    EXPECT_EQ(folder.entries(), std::vector<std::string>{"out.tif"});
}

}  // namespace
}  // namespace pictra::test
