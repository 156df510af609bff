#include "ui/pictures.h"

#include <QPainter>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

namespace korvel::ui {

namespace {

// Smooth random relief: random values on a grid of `cell`-pixel squares,
// bilinearly interpolated, in -1..1. std::minstd_rand's sequence is fixed by
// the language, so the picture is the same everywhere.
class Relief {
public:
    Relief(int width, int height, int cell, std::uint32_t seed)
        : cell_(cell), cols_(width / cell + 2), rows_(height / cell + 2)
    {
        std::minstd_rand gen(seed);
        grid_.resize(static_cast<std::size_t>(cols_ * rows_));
        for (auto& v : grid_)
            v = static_cast<float>(gen() % 2001) / 1000.0f - 1.0f;
    }

    float at(int x, int y) const
    {
        const int gx = x / cell_, gy = y / cell_;
        const float fx = static_cast<float>(x % cell_) / static_cast<float>(cell_);
        const float fy = static_cast<float>(y % cell_) / static_cast<float>(cell_);
        const float a = node(gx, gy), b = node(gx + 1, gy);
        const float c = node(gx, gy + 1), d = node(gx + 1, gy + 1);
        const float top = a + (b - a) * fx;
        const float bottom = c + (d - c) * fx;
        return top + (bottom - top) * fy;
    }

private:
    float node(int gx, int gy) const { return grid_[static_cast<std::size_t>(gy * cols_ + gx)]; }

    int cell_, cols_, rows_;
    std::vector<float> grid_;
};

int clamp_byte(float v) { return std::clamp(static_cast<int>(v + 0.5f), 0, 255); }

} // namespace

QImage background_picture()
{
    const int w = background_width, h = background_height;
    QImage img(w, h, QImage::Format_RGB32);
    const Relief coarse(w, h, 24, 1913);
    const Relief medium(w, h, 6, 2207);
    std::minstd_rand grain(4099);

    for (int y = 0; y < h; ++y) {
        auto* line = reinterpret_cast<QRgb*>(img.scanLine(y));
        for (int x = 0; x < w; ++x) {
            const float fine = static_cast<float>(grain() % 17) - 8.0f;
            const float texture = coarse.at(x, y) * 10.0f + medium.at(x, y) * 7.0f + fine;
            float r, g, b;
            if (x < band_width - 2) {
                // Golden yellow, a little darker towards the edge line.
                const float shade = -10.0f * static_cast<float>(x) / (band_width - 2);
                r = 222 + texture + shade;
                g = 172 + texture * 0.9f + shade;
                b = 48 + texture * 0.5f;
            } else if (x < band_width) {
                // The dark edge line of the band.
                r = (x == band_width - 2 ? 70 : 110) + fine;
                g = (x == band_width - 2 ? 50 : 84) + fine;
                b = (x == band_width - 2 ? 16 : 30) + fine * 0.5f;
            } else {
                // Steel blue, lightening towards the lower right.
                const float t = static_cast<float>((x - band_width) + y) /
                                static_cast<float>((w - band_width) + h);
                r = 62 + 40 * t + texture * 0.8f;
                g = 102 + 42 * t + texture * 0.85f;
                b = 150 + 38 * t + texture;
            }
            line[x] = qRgb(clamp_byte(r), clamp_byte(g), clamp_byte(b));
        }
    }
    return img;
}

QImage window_icon_picture()
{
    // Colours of the 16-colour palette used here.
    const QColor black(0, 0, 0), white(255, 255, 255), silver(192, 192, 192),
        grey(128, 128, 128), teal(0, 128, 128), cyan(0, 255, 255), yellow(255, 255, 0),
        olive(128, 128, 0), red(255, 0, 0), navy(0, 0, 128);

    QImage img(32, 32, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing, false);

    // The ruled sheet, behind and to the upper right.
    p.setPen(black);
    p.setBrush(white);
    p.drawRect(11, 1, 19, 26);
    p.setPen(navy);
    for (int y = 5; y <= 24; y += 3)
        p.drawLine(13, y, 28, y);
    p.setPen(red);
    p.drawLine(15, 2, 15, 26);

    // The calculator in front, lower left.
    p.setPen(black);
    p.setBrush(teal);
    p.drawRect(1, 8, 16, 22);
    p.setPen(black);
    p.setBrush(silver);
    p.drawRect(3, 10, 12, 4);
    p.setPen(black);
    p.drawLine(6, 12, 13, 12); // digits on the display
    for (int row = 0; row < 4; ++row) {
        for (int col = 0; col < 3; ++col) {
            const int kx = 3 + col * 4, ky = 16 + row * 3;
            p.fillRect(kx, ky, 3, 2, row == 3 && col == 2 ? cyan : white);
        }
    }
    p.setPen(QColor(0, 96, 96));
    p.drawLine(2, 29, 16, 29);

    // The pencil, lying across the sheet's lower right: lead at the lower
    // left, eraser at the upper right.
    const QPoint from(17, 29), to(30, 16);
    p.setPen(QPen(black, 5, Qt::SolidLine, Qt::SquareCap));
    p.drawLine(from + QPoint(2, -2), to);
    p.setPen(QPen(yellow, 3, Qt::SolidLine, Qt::SquareCap));
    p.drawLine(from + QPoint(3, -3), to - QPoint(2, -2));
    p.setPen(QPen(olive, 1));
    p.drawLine(from + QPoint(4, -3), to - QPoint(2, -3));
    p.setPen(QPen(red, 3, Qt::SolidLine, Qt::SquareCap));
    p.drawPoint(to - QPoint(0, 0));
    p.setPen(QPen(silver, 1));
    p.drawPoint(from + QPoint(1, -1));
    p.drawPoint(from + QPoint(2, -1));
    p.drawPoint(from + QPoint(1, -2));
    p.setPen(QPen(grey, 1));
    p.drawPoint(from);
    p.end();
    return img;
}

} // namespace korvel::ui
