// The status window's picture: conversion of GDI+ bitmaps of every source
// format into the 32-bit bottom-up section, premultiplication, and loading the
// PNG resource from a module.
#include "statuswindow/statuswindow.h"

#include <gtest/gtest.h>
#include <objbase.h>

#include <gdiplus.h>

#include <cstdint>
#include <string>
#include <vector>

#include "desktop.h"

using namespace Gdiplus;
using namespace Gdiplus::DllExports;

namespace {

class GdiplusEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_TRUE(StartGdiplus()); }
    void TearDown() override { StopGdiplus(); }
};
const auto *const gdiplusEnvironment = ::testing::AddGlobalTestEnvironment(new GdiplusEnvironment);

const int kWidth = 3;
const int kHeight = 2;

// Source pixels of a kWidth x kHeight image, each written as bytesPerPixel
// little-endian bytes, top row first.
struct SourceImage {
    PixelFormat format;
    int bytesPerPixel;
    uint64_t pixels[kWidth * kHeight];
};

// Rows padded beyond the 4-byte alignment and the padding filled with a
// pattern, so that a converter which ignores the stride reads garbage.
int StrideFor(const SourceImage &image)
{
    return ((kWidth * image.bytesPerPixel + 3) & ~3) + 4;
}

std::vector<BYTE> SourceBytes(const SourceImage &image, int stride)
{
    std::vector<BYTE> bytes((size_t)stride * kHeight, 0xCD);
    for (int y = 0; y < kHeight; y++)
        for (int x = 0; x < kWidth; x++)
            for (int b = 0; b < image.bytesPerPixel; b++)
                bytes[(size_t)y * stride + x * image.bytesPerPixel + b] =
                    (BYTE)(image.pixels[(size_t)y * kWidth + x] >> (8 * b));
    return bytes;
}

// Converts the image with BitmapToDib. When bottomUp is set, the rows lie in
// memory bottom row first and GDI+ is given a negative stride.
Picture Convert(const SourceImage &image, bool bottomUp = false, INT *lockedStride = nullptr)
{
    int stride = StrideFor(image);
    std::vector<BYTE> bytes = SourceBytes(image, stride);
    if (bottomUp) {
        std::vector<BYTE> flipped(bytes.size());
        for (int y = 0; y < kHeight; y++)
            memcpy(&flipped[(size_t)(kHeight - 1 - y) * stride], &bytes[(size_t)y * stride], stride);
        bytes = flipped;
    }
    BYTE *scan0 = bottomUp ? &bytes[(size_t)(kHeight - 1) * stride] : bytes.data();
    GpBitmap *bitmap = nullptr;
    EXPECT_EQ(Ok, GdipCreateBitmapFromScan0(kWidth, kHeight, bottomUp ? -stride : stride, image.format, scan0, &bitmap));
    if (!bitmap)
        return {};
    if (image.format & PixelFormatIndexed) {
        struct {
            ColorPalette palette;
            ARGB more[1];
        } palette = {{0, 2, {0xFFFF0000}}, {0xFF00FF00}};
        EXPECT_EQ(Ok, GdipSetImagePalette(bitmap, &palette.palette));
    }
    if (lockedStride) {
        Rect whole(0, 0, kWidth, kHeight);
        BitmapData data = {};
        EXPECT_EQ(Ok, GdipBitmapLockBits(bitmap, &whole, ImageLockModeRead, image.format, &data));
        *lockedStride = data.Stride;
        GdipBitmapUnlockBits(bitmap, &data);
    }
    HBITMAP section = BitmapToDib(bitmap);
    GdipDisposeImage(bitmap);
    EXPECT_NE(nullptr, section);
    if (!section)
        return {};
    Picture picture = SectionPicture(section);
    DeleteObject(section);
    return picture;
}

struct FormatCase {
    const char *name;
    SourceImage source;
    bool converted;                     // false: the format has no conversion
    uint32_t expected[kWidth * kHeight];  // 0xAARRGGBB, top row first; all zero when not converted
};

const FormatCase kFormatCases[] = {
    {"RGB555",
     {PixelFormat16bppRGB555, 2, {0x7C00, 0x8000, 0x001F, 0x03E0, 0xFFFF, 0x0421}},
     true, {0xFFF80000, 0xFF000000, 0xFF0000F8, 0xFF00F800, 0xFFF8F8F8, 0xFF080808}},
    {"RGB565",
     {PixelFormat16bppRGB565, 2, {0xFFFF, 0xF800, 0x07E0, 0x001F, 0x0841, 0x0000}},
     true, {0xFFF8FCF8, 0xFFF80000, 0xFF00FC00, 0xFF0000F8, 0xFF080808, 0xFF000000}},
    {"RGB24",
     {PixelFormat24bppRGB, 3, {0x302010, 0xFFFFFF, 0x000000, 0x0000FF, 0x00FF00, 0xFF0000}},
     true, {0xFF302010, 0xFFFFFFFF, 0xFF000000, 0xFF0000FF, 0xFF00FF00, 0xFFFF0000}},
    {"RGB32",
     {PixelFormat32bppRGB, 4, {0x00123456, 0x7F010203, 0xFFABCDEF, 0x00000000, 0x80FFFFFF, 0x01000001}},
     true, {0xFF123456, 0xFF010203, 0xFFABCDEF, 0xFF000000, 0xFFFFFFFF, 0xFF000001}},
    {"ARGB32 copied without premultiplying",
     {PixelFormat32bppARGB, 4, {0x80FF6400, 0x00FFFFFF, 0xFF123456, 0x64C80000, 0x01020304, 0x00000000}},
     true, {0x80FF6400, 0x00FFFFFF, 0xFF123456, 0x64C80000, 0x01020304, 0x00000000}},
    {"PARGB32 has no conversion",
     {PixelFormat32bppPARGB, 4, {0x80808080, 0xFFFFFFFF, 0xFF000000, 0x01010101, 0x40404040, 0xFF102030}},
     false, {}},
    {"RGB48 has no conversion",
     {PixelFormat48bppRGB, 6, {0x123456789ABCull, 0xFFFFFFFFFFFFull, 1, 2, 3, 4}},
     false, {}},
    {"indexed 8-bit stays transparent",
     {PixelFormat8bppIndexed, 1, {0, 1, 1, 0, 1, 1}},
     false, {}},
};

TEST(BitmapToDib, ConvertsEachSourceFormatUpright)
{
    for (const FormatCase &test : kFormatCases) {
        SCOPED_TRACE(test.name);
        Picture picture = Convert(test.source);
        ASSERT_EQ(kWidth, picture.width);
        ASSERT_EQ(kHeight, picture.height);
        for (int i = 0; i < kWidth * kHeight; i++)
            EXPECT_EQ(test.expected[i], picture.pixels[i]) << "pixel " << i % kWidth << "," << i / kWidth;
    }
}

TEST(BitmapToDib, RowsStoredBottomUpComeOutUpright)
{
    for (const FormatCase &test : kFormatCases) {
        if (!test.converted)
            continue;
        SCOPED_TRACE(test.name);
        INT lockedStride = 0;
        Picture picture = Convert(test.source, true, &lockedStride);
        ASSERT_LT(lockedStride, 0) << "GDI+ did not hand out the rows bottom-up";
        ASSERT_EQ(std::vector<uint32_t>(test.expected, test.expected + kWidth * kHeight), picture.pixels);
    }
}

TEST(BitmapToDib, MakesA32BitBottomUpSection)
{
    SourceImage image = {PixelFormat24bppRGB, 3, {0x102030, 0x102030, 0x102030, 0x102030, 0x102030, 0x102030}};
    int stride = StrideFor(image);
    std::vector<BYTE> bytes = SourceBytes(image, stride);
    GpBitmap *bitmap = nullptr;
    ASSERT_EQ(Ok, GdipCreateBitmapFromScan0(kWidth, kHeight, stride, image.format, bytes.data(), &bitmap));
    HBITMAP section = BitmapToDib(bitmap);
    GdipDisposeImage(bitmap);
    ASSERT_NE(nullptr, section);
    DIBSECTION dib = {};
    ASSERT_EQ((int)sizeof(dib), GetObjectW(section, sizeof(dib), &dib));
    EXPECT_EQ(kWidth, dib.dsBmih.biWidth);
    EXPECT_EQ(kHeight, dib.dsBmih.biHeight);  // positive: bottom row first in memory
    EXPECT_EQ(32, dib.dsBmih.biBitCount);
    EXPECT_EQ((DWORD)BI_RGB, dib.dsBmih.biCompression);
    EXPECT_EQ(kWidth * 4, dib.dsBm.bmWidthBytes);
    DeleteObject(section);
}

// Makes a 32-bit section holding the given 0xAARRGGBB pixels, top row first.
HBITMAP SectionOf(int width, int height, const std::vector<uint32_t> &pixels)
{
    std::vector<uint32_t> copy = pixels;
    GpBitmap *bitmap = nullptr;
    EXPECT_EQ(Ok, GdipCreateBitmapFromScan0(width, height, width * 4, PixelFormat32bppARGB,
                                            reinterpret_cast<BYTE *>(copy.data()), &bitmap));
    if (!bitmap)
        return nullptr;
    HBITMAP section = BitmapToDib(bitmap);
    GdipDisposeImage(bitmap);
    return section;
}

TEST(PremultiplyDib, ScalesColoursByAlphaRoundingDown)
{
    struct {
        uint32_t before, after;
    } const cases[] = {
        {0x80FF6400, 0x80803200},  // alpha 128: 255 -> 128, 100 -> 50
        {0x64C80000, 0x644E0000},  // alpha 100: red 200 -> 78
        {0xC8C8C8C8, 0xC89C9C9C},  // 200 * 200 / 255 = 156.9 -> 156
        {0x00FFFFFF, 0x00000000},  // alpha 0 clears the colour
        {0xFF123456, 0xFF123456},  // alpha 255 leaves the pixel
        {0x01FEFEFE, 0x01000000},
    };
    std::vector<uint32_t> before;
    for (const auto &c : cases)
        before.push_back(c.before);
    HBITMAP section = SectionOf((int)before.size(), 1, before);
    ASSERT_NE(nullptr, section);
    ASSERT_TRUE(PremultiplyDib(section));
    Picture picture = SectionPicture(section);
    DeleteObject(section);
    for (size_t i = 0; i < before.size(); i++)
        EXPECT_EQ(cases[i].after, picture.pixels[i]) << std::hex << "from 0x" << cases[i].before;
}

TEST(PremultiplyDib, RefusesWhatIsNotASection)
{
    EXPECT_FALSE(PremultiplyDib(nullptr));
    HBITMAP device = CreateBitmap(4, 4, 1, 32, nullptr);
    EXPECT_FALSE(PremultiplyDib(device));
    DeleteObject(device);
}

TEST(LoadPngResource, DecodesConvertsAndPremultiplies)
{
    // 5 x 3, each pixel distinct, so a flipped or mirrored picture shows.
    Picture png;
    png.width = 5;
    png.height = 3;
    for (int i = 0; i < 15; i++)
        png.pixels.push_back(0x80000000u | (uint32_t)(i * 16) << 16 | 0xFF00u | (uint32_t)(250 - i));
    png.pixels[0] = 0x00FFFFFF;  // fully transparent
    png.pixels[14] = 0xFF102030; // opaque
    ResourceModule module({{L"PNG", kStatusImageId, EncodePng(png)}});
    ASSERT_NE(nullptr, module.module());

    HBITMAP section = LoadPngResource(module.module());
    ASSERT_NE(nullptr, section);
    Picture loaded = SectionPicture(section);
    DeleteObject(section);
    ASSERT_EQ(5, loaded.width);
    ASSERT_EQ(3, loaded.height);
    for (int i = 0; i < 15; i++) {
        uint32_t v = png.pixels[i], a = v >> 24;
        uint32_t expected = a << 24 | (((v >> 16) & 0xFF) * a / 255) << 16 | (((v >> 8) & 0xFF) * a / 255) << 8 |
                            (v & 0xFF) * a / 255;
        EXPECT_EQ(expected, loaded.pixels[i]) << "pixel " << i % 5 << "," << i / 5;
    }
}

TEST(LoadPngResource, YieldsNothingWithoutADecodablePicture)
{
    struct {
        const char *name;
        std::vector<ResourceModule::Resource> resources;
    } const cases[] = {
        {"no resources at all", {}},
        {"bytes that are no picture", {{L"PNG", kStatusImageId, "This is not a PNG file, nor any picture."}}},
        {"a truncated PNG", {{L"PNG", kStatusImageId, std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16)}}},
        {"the picture under another id", {{L"PNG", kStatusImageId + 1, EncodePng({1, 1, {0xFFFFFFFF}})}}},
        {"the picture under another type", {{RT_RCDATA, kStatusImageId, EncodePng({1, 1, {0xFFFFFFFF}})}}},
    };
    for (const auto &test : cases) {
        SCOPED_TRACE(test.name);
        ResourceModule module(test.resources);
        ASSERT_NE(nullptr, module.module());
        EXPECT_EQ(nullptr, LoadPngResource(module.module()));
    }
}

// The picture compiled into the server (and into this test program).
TEST(LoadPngResource, TheServersPicture)
{
    HBITMAP section = LoadPngResource(GetModuleHandleW(nullptr));
    ASSERT_NE(nullptr, section);
    Picture picture = SectionPicture(section);
    DeleteObject(section);
    ASSERT_EQ(120, picture.width);
    ASSERT_EQ(120, picture.height);

    int partly = 0;
    for (uint32_t v : picture.pixels) {
        uint32_t a = v >> 24;
        ASSERT_LE((v >> 16) & 0xFF, a) << "not premultiplied";
        ASSERT_LE((v >> 8) & 0xFF, a) << "not premultiplied";
        ASSERT_LE(v & 0xFF, a) << "not premultiplied";
        partly += a > 0 && a < 255;
    }
    EXPECT_GT(partly, 120 * 120 / 2) << "most of the picture is translucent";
    EXPECT_EQ(0u, picture.at(0, 0) >> 24) << "rounded corner";
    EXPECT_EQ(0u, picture.at(119, 119) >> 24) << "rounded corner";
    // The magnifier stands in the upper half, opaque in the accent colour.
    EXPECT_EQ(0xFF6EBEFFu, picture.at(36, 33));
    EXPECT_NE(0xFF6EBEFFu, picture.at(36, 119 - 33));
}

}  // namespace
