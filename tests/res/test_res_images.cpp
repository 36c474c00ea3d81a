// The embedded icons and bitmaps: each decodes, has its size and shows its colours.
#include <gtest/gtest.h>

#include <QColor>
#include <QImage>

#include <map>

#include "res/ResImages.h"

namespace {

using tarvex::res::FindImage;

QImage Decode(int id)
{
    const tarvex::res::ImageResource* r = FindImage(id);
    if (!r)
        return {};
    QImage img;
    img.loadFromData(r->pPng, static_cast<int>(r->cbPng), "PNG");
    return img.convertToFormat(QImage::Format_ARGB32);
}

enum class Hue { None, Red, Green, Magenta, Grey, White, Other };

Hue Classify(QRgb px)
{
    if (qAlpha(px) < 128)
        return Hue::None;
    const int r = qRed(px), g = qGreen(px), b = qBlue(px);
    const int hi = std::max({r, g, b}), lo = std::min({r, g, b});
    if (hi - lo < 24)
        return hi > 225 ? Hue::White : Hue::Grey;
    if (r > g + 60 && r > b + 60)
        return Hue::Red;
    if (g > r + 50 && g > b + 50)
        return Hue::Green;
    if (r > g + 60 && b > g + 60)
        return Hue::Magenta;
    return Hue::Other;
}

// Share of the opaque pixels of each colour class.
std::map<Hue, double> Shares(const QImage& img)
{
    std::map<Hue, int> count;
    int opaque = 0;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) {
            const Hue h = Classify(img.pixel(x, y));
            if (h == Hue::None)
                continue;
            ++opaque;
            ++count[h];
        }
    std::map<Hue, double> shares;
    for (auto [h, n] : count)
        shares[h] = opaque ? double(n) / opaque : 0.0;
    return shares;
}

TEST(ResImages, EveryImageDecodesAtItsSize)
{
    const struct {
        int id;
        bool icon;
        int cx, cy;
    } expected[] = {
        {128, true, 16, 16},   {138, true, 16, 16},   {139, true, 16, 16},   {149, false, 16, 16},
        {150, false, 16, 16},  {132, false, 51, 48},  {135, false, 51, 48},  {133, false, 49, 47},
    };
    EXPECT_EQ(tarvex::res::kImageCount, std::size(expected));
    for (const auto& e : expected) {
        SCOPED_TRACE(e.id);
        const tarvex::res::ImageResource* r = FindImage(e.id);
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->bIcon, e.icon);
        const QImage img = Decode(e.id);
        ASSERT_FALSE(img.isNull());
        EXPECT_EQ(img.width(), e.cx);
        EXPECT_EQ(img.height(), e.cy);
        EXPECT_EQ(r->cx, e.cx);
        EXPECT_EQ(r->cy, e.cy);
    }
    EXPECT_EQ(FindImage(0), nullptr);
    EXPECT_EQ(FindImage(102), nullptr);
}

TEST(ResImages, BitmapsAreOpaqueAndIconsHaveTransparentCorners)
{
    for (int id : {149, 150, 132, 135, 133}) {
        const QImage img = Decode(id);
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x)
                ASSERT_EQ(qAlpha(img.pixel(x, y)), 255) << id << " at " << x << "," << y;
    }
    for (int id : {128, 138, 139}) {
        const QImage img = Decode(id);
        EXPECT_EQ(qAlpha(img.pixel(0, 15)), 0) << id;
        EXPECT_EQ(qAlpha(img.pixel(15, 0)), 0) << id;
    }
}

TEST(ResImages, BallsAndResultPicturesShowTheirColours)
{
    auto s149 = Shares(Decode(149));
    auto s150 = Shares(Decode(150));
    EXPECT_GT(s149[Hue::Green], 0.5);
    EXPECT_EQ(s149[Hue::Magenta], 0.0);
    EXPECT_GT(s150[Hue::Magenta], 0.5);
    EXPECT_EQ(s150[Hue::Green], 0.0);

    // Grey check mark on the face colour: nothing coloured at all.
    auto s132 = Shares(Decode(132));
    EXPECT_GT(s132[Hue::Grey] + s132[Hue::White], 0.99);
    const QImage check = Decode(132);
    int dark = 0;
    for (int y = 0; y < check.height(); ++y)
        for (int x = 0; x < check.width(); ++x)
            dark += qGray(check.pixel(x, y)) < 160;
    EXPECT_GT(dark, 150);

    // White mark on green, white mark on red: the field dominates, the mark is large.
    auto s135 = Shares(Decode(135));
    EXPECT_GT(s135[Hue::Green], 0.6);
    EXPECT_GT(s135[Hue::White], 0.1);
    EXPECT_EQ(s135[Hue::Red], 0.0);
    auto s133 = Shares(Decode(133));
    EXPECT_GT(s133[Hue::Red], 0.6);
    EXPECT_GT(s133[Hue::White], 0.1);
    EXPECT_EQ(s133[Hue::Green], 0.0);
}

TEST(ResImages, DeviceIconsDifferOnlyInTheirBadge)
{
    auto s138 = Shares(Decode(138));
    auto s139 = Shares(Decode(139));
    // Both grey devices; 138 carries red and no green, 139 the reverse.
    EXPECT_GT(s138[Hue::Grey], 0.4);
    EXPECT_GT(s139[Hue::Grey], 0.4);
    EXPECT_GT(s138[Hue::Red], 0.1);
    EXPECT_EQ(s138[Hue::Green], 0.0);
    EXPECT_GT(s139[Hue::Green], 0.1);
    EXPECT_EQ(s139[Hue::Red], 0.0);
    // The application icon is a coloured picture, not a grey one.
    auto s128 = Shares(Decode(128));
    EXPECT_LT(s128[Hue::Grey], 0.3);
}

} // namespace
