// Draws the tool's icons and bitmaps and writes them as a C++ source file holding one PNG
// byte array per image, so that the pictures are reproducible from this file alone and
// embedded in the binary without any resource compiler.
//
//   tarvex_resgen OUT.cpp [PREVIEW.png]
//   tarvex_resgen --app-icon SIZE OUT.png
//
// The optional preview is every image on one sheet, magnified, for looking at them. The
// second form draws the application icon at another size, for the desktop's icon theme.
#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// The dialog face colour the opaque bitmaps sit on (bitmaps have no transparency).
const QColor kFace(240, 240, 240);

struct Image {
    int id;
    bool icon;
    QImage img;
};

QImage NewIcon()
{
    QImage img(16, 16, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    return img;
}

QImage NewBitmap(int w, int h, QColor fill)
{
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(fill);
    return img;
}

// A computer mouse seen from above: body, button split and wheel.
void DrawMouseBody(QPainter& p, QRectF body, QColor fill, QColor line)
{
    p.setPen(QPen(line, 1.0));
    p.setBrush(fill);
    p.drawRoundedRect(body, body.width() * 0.45, body.height() * 0.35);
    const double cx = body.center().x();
    const double split = body.top() + body.height() * 0.42;
    p.drawLine(QPointF(cx, body.top() + 0.5), QPointF(cx, split));
    p.drawLine(QPointF(body.left() + 0.5, split), QPointF(body.right() - 0.5, split));
    p.setBrush(line);
    p.drawRect(QRectF(cx - 0.5, body.top() + 2.0, 1.0, 2.5));
}

// Drawn on a 16-unit grid; other sizes scale the same drawing (the desktop's icon theme).
QImage AppIcon(int size = 16)
{
    QImage img(size, size, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 16.0, size / 16.0);
    DrawMouseBody(p, QRectF(2.5, 0.5, 9.0, 14.5), QColor(40, 90, 190), QColor(15, 35, 90));
    // Upward arrow: firmware going up into the mouse.
    QPainterPath arrow;
    arrow.moveTo(12.5, 6.0);
    arrow.lineTo(16.0, 10.0);
    arrow.lineTo(14.0, 10.0);
    arrow.lineTo(14.0, 15.5);
    arrow.lineTo(11.0, 15.5);
    arrow.lineTo(11.0, 10.0);
    arrow.lineTo(9.0, 10.0);
    arrow.closeSubpath();
    p.setPen(QPen(QColor(120, 60, 0), 0.8));
    p.setBrush(QColor(255, 150, 20));
    p.drawPath(arrow);
    return img;
}

// Grey device symbol with a status badge in the lower right corner.
QImage DeviceIcon(bool connected)
{
    QImage img = NewIcon();
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    DrawMouseBody(p, QRectF(1.5, 0.5, 9.0, 14.0), QColor(170, 170, 170), QColor(90, 90, 90));
    if (connected) {
        QPen pen(QColor(0, 160, 0), 2.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
        p.setPen(pen);
        p.setBrush(Qt::NoBrush);
        QPainterPath check;
        check.moveTo(8.5, 11.0);
        check.lineTo(11.0, 13.8);
        check.lineTo(15.0, 7.5);
        p.drawPath(check);
    } else {
        QPen pen(QColor(220, 0, 0), 2.6, Qt::SolidLine, Qt::RoundCap);
        p.setPen(pen);
        p.drawLine(QPointF(9.5, 8.5), QPointF(14.5, 13.5));
        p.drawLine(QPointF(14.5, 8.5), QPointF(9.5, 13.5));
    }
    return img;
}

// A shaded ball on the dialog face, lit from the upper left.
QImage Ball(QColor light, QColor dark)
{
    QImage img = NewBitmap(16, 16, kFace);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QRadialGradient g(QPointF(8.0, 8.0), 7.5, QPointF(5.5, 5.0));
    g.setColorAt(0.0, light);
    g.setColorAt(1.0, dark);
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawEllipse(QRectF(0.5, 0.5, 15.0, 15.0));
    return img;
}

QPainterPath CheckPath(double w, double h)
{
    QPainterPath path;
    path.moveTo(w * 0.20, h * 0.52);
    path.lineTo(w * 0.42, h * 0.74);
    path.lineTo(w * 0.80, h * 0.26);
    return path;
}

QImage GreyCheck()
{
    const int w = 51, h = 48;
    QImage img = NewBitmap(w, h, kFace);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(128, 128, 128), 8.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPath(CheckPath(w, h));
    return img;
}

QImage Badge(int w, int h, QColor fill, bool check)
{
    QImage img = NewBitmap(w, h, kFace);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(fill);
    p.drawRoundedRect(QRectF(0.5, 0.5, w - 1.0, h - 1.0), 6.0, 6.0);
    p.setPen(QPen(Qt::white, 7.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    if (check) {
        p.drawPath(CheckPath(w, h));
    } else {
        const double m = 0.27;
        p.drawLine(QPointF(w * m, h * m), QPointF(w * (1 - m), h * (1 - m)));
        p.drawLine(QPointF(w * (1 - m), h * m), QPointF(w * m, h * (1 - m)));
    }
    return img;
}

bool Emit(const char* path, const std::vector<Image>& images)
{
    std::string out;
    out += "// Generated by tarvex_resgen; do not edit.\n";
    out += "#include \"res/ResImages.h\"\n\n#include <cstdint>\n\n";
    out += "namespace tarvex::res {\nnamespace {\n";
    for (const Image& im : images) {
        QByteArray png;
        QBuffer buf(&png);
        buf.open(QIODevice::WriteOnly);
        if (!im.img.save(&buf, "PNG"))
            return false;
        out += "const unsigned char kPng" + std::to_string(im.id) + "[] = {";
        for (int i = 0; i < png.size(); ++i) {
            if (i % 16 == 0)
                out += "\n   ";
            char hex[8];
            std::snprintf(hex, sizeof hex, " 0x%02x,", static_cast<unsigned char>(png[i]));
            out += hex;
        }
        out += "\n};\n";
        // The same picture as pixels, for systems that build their own bitmaps and icons.
        const QImage argb = im.img.convertToFormat(QImage::Format_ARGB32);
        out += "const std::uint32_t kPixels" + std::to_string(im.id) + "[] = {";
        int n = 0;
        for (int y = 0; y < argb.height(); ++y) {
            const auto* line = reinterpret_cast<const QRgb*>(argb.constScanLine(y));
            for (int x = 0; x < argb.width(); ++x, ++n) {
                if (n % 8 == 0)
                    out += "\n   ";
                char hex[16];
                std::snprintf(hex, sizeof hex, " 0x%08xu,", static_cast<unsigned>(line[x]));
                out += hex;
            }
        }
        out += "\n};\n";
    }
    out += "} // namespace\n\nconst ImageResource kImages[] = {\n";
    for (const Image& im : images) {
        const std::string id = std::to_string(im.id);
        out += "    {" + id + ", " + (im.icon ? "true" : "false") + ", " + std::to_string(im.img.width()) + ", " +
               std::to_string(im.img.height()) + ", kPng" + id + ", sizeof kPng" + id + ", kPixels" + id + "},\n";
    }
    out += "};\nconst std::size_t kImageCount = " + std::to_string(images.size()) + ";\n\n";
    out += "} // namespace tarvex::res\n";

    std::FILE* f = std::fopen(path, "wb");
    if (!f)
        return false;
    const bool ok = std::fwrite(out.data(), 1, out.size(), f) == out.size();
    return std::fclose(f) == 0 && ok;
}

bool Preview(const char* path, const std::vector<Image>& images)
{
    const int zoom = 6, gap = 12;
    int w = gap, h = 0;
    for (const Image& im : images) {
        w += im.img.width() * zoom + gap;
        h = std::max(h, im.img.height() * zoom);
    }
    QImage sheet(w, h + 2 * gap, QImage::Format_RGB32);
    sheet.fill(QColor(255, 255, 255));
    QPainter p(&sheet);
    int x = gap;
    for (const Image& im : images) {
        p.drawImage(QRect(x, gap, im.img.width() * zoom, im.img.height() * zoom), im.img);
        x += im.img.width() * zoom + gap;
    }
    p.end();
    return sheet.save(QString::fromLocal8Bit(path), "PNG");
}

// An icon file for a resource compiler: the icon at 16, 32 and 48 pixels, each as a 32-bit
// bitmap with its AND mask (the form every version of the shell reads).
bool EmitIco(const char* path, const QImage& icon)
{
    std::string out;
    auto u16 = [&out](unsigned v) { out += static_cast<char>(v & 0xFF); out += static_cast<char>((v >> 8) & 0xFF); };
    auto u32 = [&](unsigned v) { u16(v & 0xFFFF); u16(v >> 16); };
    const int sizes[] = {16, 32, 48};
    std::vector<std::string> bodies;
    for (int n : sizes) {
        const QImage img = icon.scaled(n, n, Qt::IgnoreAspectRatio, Qt::SmoothTransformation).convertToFormat(QImage::Format_ARGB32);
        std::string b;
        std::swap(out, b);
        u32(40); u32(static_cast<unsigned>(n)); u32(static_cast<unsigned>(2 * n)); u16(1); u16(32); u32(0);
        const int maskStride = ((n + 31) / 32) * 4;
        u32(static_cast<unsigned>(n * n * 4 + maskStride * n)); u32(0); u32(0); u32(0); u32(0);
        for (int y = n - 1; y >= 0; --y) {
            const auto* line = reinterpret_cast<const QRgb*>(img.constScanLine(y));
            for (int x = 0; x < n; ++x) u32(static_cast<unsigned>(line[x]));
        }
        for (int y = n - 1; y >= 0; --y) {
            const auto* line = reinterpret_cast<const QRgb*>(img.constScanLine(y));
            std::string row(static_cast<std::size_t>(maskStride), '\0');
            for (int x = 0; x < n; ++x)
                if (qAlpha(line[x]) < 128) row[static_cast<std::size_t>(x / 8)] = static_cast<char>(row[static_cast<std::size_t>(x / 8)] | (0x80 >> (x % 8)));
            out += row;
        }
        std::swap(out, b);
        bodies.push_back(b);
    }
    u16(0); u16(1); u16(static_cast<unsigned>(bodies.size()));
    unsigned offset = 6 + 16 * static_cast<unsigned>(bodies.size());
    for (std::size_t i = 0; i < bodies.size(); ++i) {
        out += static_cast<char>(sizes[i] & 0xFF); out += static_cast<char>(sizes[i] & 0xFF); out += '\0'; out += '\0';
        u16(1); u16(32); u32(static_cast<unsigned>(bodies[i].size())); u32(offset);
        offset += static_cast<unsigned>(bodies[i].size());
    }
    for (const std::string& b : bodies) out += b;
    std::FILE* f = std::fopen(path, "wb");
    if (!f)
        return false;
    const bool ok = std::fwrite(out.data(), 1, out.size(), f) == out.size();
    return std::fclose(f) == 0 && ok;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::string(argv[1]) == "--app-icon") {
        const int size = std::atoi(argv[2]);
        if (size < 16 || size > 1024) {
            std::fprintf(stderr, "tarvex_resgen: icon size %s is not 16 to 1024\n", argv[2]);
            return 2;
        }
        if (!AppIcon(size).save(QString::fromLocal8Bit(argv[3]), "PNG")) {
            std::fprintf(stderr, "tarvex_resgen: cannot write %s\n", argv[3]);
            return 1;
        }
        return 0;
    }
    if (argc == 3 && std::string(argv[1]) == "--ico") {
        if (!EmitIco(argv[2], AppIcon())) {
            std::fprintf(stderr, "tarvex_resgen: cannot write %s\n", argv[2]);
            return 1;
        }
        return 0;
    }
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: %s OUT.cpp [PREVIEW.png]\n       %s --ico APP.ico\n       %s --app-icon SIZE OUT.png\n",
                     argv[0], argv[0], argv[0]);
        return 2;
    }
    const std::vector<Image> images = {
        {128, true, AppIcon()},
        {138, true, DeviceIcon(false)},
        {139, true, DeviceIcon(true)},
        {132, false, GreyCheck()},
        {133, false, Badge(49, 47, QColor(210, 30, 30), false)},
        {135, false, Badge(51, 48, QColor(30, 160, 60), true)},
        {149, false, Ball(QColor(170, 255, 170), QColor(0, 150, 0))},
        {150, false, Ball(QColor(255, 170, 255), QColor(190, 0, 190))},
    };
    if (!Emit(argv[1], images)) {
        std::fprintf(stderr, "tarvex_resgen: cannot write %s\n", argv[1]);
        return 1;
    }
    if (argc == 3 && !Preview(argv[2], images)) {
        std::fprintf(stderr, "tarvex_resgen: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
