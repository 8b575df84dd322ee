// Draws the product's artwork and writes it as Windows icon and bitmap files.
//
// Host program (built with the machine's own g++ by make_art.sh); its output
// is committed under resources/art, so the Windows build never runs it.
//
// Every picture is a function from a point in the unit square to a colour;
// pixels are supersampled for clean anti-aliased edges at every size.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

const double pi = 3.14159265358979323846;

struct rgba {
    double r, g, b, a;
};

const rgba clear = {0, 0, 0, 0};

rgba colour(int r, int g, int b) {
    return {r / 255.0, g / 255.0, b / 255.0, 1};
}

const rgba blue = colour(36, 104, 214);
const rgba blue_rim = colour(18, 58, 138);
const rgba sand = colour(234, 212, 160);
const rgba sand_rim = colour(150, 118, 62);
const rgba red = colour(214, 36, 36);
const rgba red_rim = colour(128, 16, 16);
const rgba white = colour(255, 255, 255);
const rgba black = colour(20, 20, 20);
const rgba green = colour(40, 150, 60);
const rgba folder_yellow = colour(246, 208, 96);
const rgba folder_rim = colour(176, 132, 40);

double distance_to_segment(double px, double py, double ax, double ay, double bx, double by) {
    double dx = bx - ax, dy = by - ay;
    double t = ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy);
    t = std::clamp(t, 0.0, 1.0);
    return std::hypot(px - (ax + t * dx), py - (ay + t * dy));
}

// One marker picture on a disc of radius 0.5 centred in the unit square.
// `px` is the size of one pixel in unit coordinates, so that strokes stay at
// least about a pixel wide in the smallest images.
struct marker {
    int kind;
    double px;

    double stroke(double unit_width, double min_pixels) const {
        return std::max(unit_width, min_pixels * px);
    }

    rgba at(double x, double y) const {
        double r = std::hypot(x - 0.5, y - 0.5);
        if (r > 0.5)
            return clear;
        rgba fill = kind == 0 ? blue : kind == 3 ? red : sand;
        rgba rim = kind == 0 ? blue_rim : kind == 3 ? red_rim : sand_rim;
        if (r > 0.5 - stroke(0.05, 1.0))
            return rim;
        rgba sign = symbol(x - 0.5, y - 0.5);
        if (sign.a > 0)
            return sign;
        return fill;
    }

    // Coordinates relative to the centre, y down.
    rgba symbol(double x, double y) const {
        switch (kind) {
        case 0: { // white tick
            double w = stroke(0.12, 1.6) / 2;
            if (distance_to_segment(x, y, -0.24, 0.0, -0.07, 0.17) <= w ||
                distance_to_segment(x, y, -0.07, 0.17, 0.24, -0.18) <= w)
                return white;
            return clear;
        }
        case 1: { // red ring, black exclamation mark
            double r = std::hypot(x, y);
            double ring = stroke(0.075, 1.0);
            if (r <= 0.43 && r >= 0.43 - ring)
                return red;
            double w = stroke(0.1, 1.5) / 2;
            if (distance_to_segment(x, y, 0, -0.22, 0, 0.06) <= w)
                return black;
            if (std::hypot(x, y - 0.19) <= std::max(0.065, 0.8 * px))
                return black;
            return clear;
        }
        case 2: { // black radiation sign: three blades and a hub
            double r = std::hypot(x, y);
            if (r <= std::max(0.07, 0.8 * px))
                return black;
            if (r < 0.11 || r > 0.38)
                return clear;
            double angle = std::atan2(y, x) * 180 / pi + 90; // 0 points up
            angle = std::fmod(angle + 720, 120.0);
            return angle >= 30 && angle <= 90 ? black : clear;
        }
        case 3: { // white cross
            double w = stroke(0.12, 1.6) / 2;
            if (distance_to_segment(x, y, -0.19, -0.19, 0.19, 0.19) <= w ||
                distance_to_segment(x, y, -0.19, 0.19, 0.19, -0.19) <= w)
                return white;
            return clear;
        }
        case 4: { // red heart
            double hx = x / 0.3, hy = -(y - 0.02) / 0.3;
            double a = hx * hx + hy * hy - 1;
            return a * a * a - hx * hx * hy * hy * hy <= 0 ? red : clear;
        }
        default: { // smiling face
            double eye = std::max(0.055, 0.7 * px);
            if (std::hypot(x + 0.14, y + 0.11) <= eye || std::hypot(x - 0.14, y + 0.11) <= eye)
                return black;
            double r = std::hypot(x, y + 0.06);
            double w = stroke(0.06, 1.1);
            double angle = std::atan2(y + 0.06, x) * 180 / pi; // y down: smile below
            if (r <= 0.29 && r >= 0.29 - w && angle >= 25 && angle <= 155)
                return black;
            return clear;
        }
        }
    }
};

struct image {
    int size;
    int bits;
    std::vector<rgba> pixels; // top-down, straight alpha
};

// `badge` is the side of the disc in pixels, placed in the lower-left corner
// (overlays) or filling the image (application icon).
image render(int kind, int size, int bits, int badge) {
    image img{size, bits, std::vector<rgba>(size * size, clear)};
    marker m{kind, 1.0 / badge};
    const int ss = 8;
    int top = size - badge;
    for (int y = 0; y < badge; ++y)
        for (int x = 0; x < badge; ++x) {
            rgba sum = clear;
            for (int sy = 0; sy < ss; ++sy)
                for (int sx = 0; sx < ss; ++sx) {
                    rgba c = m.at((x + (sx + 0.5) / ss) / badge, (y + (sy + 0.5) / ss) / badge);
                    sum.r += c.r * c.a;
                    sum.g += c.g * c.a;
                    sum.b += c.b * c.a;
                    sum.a += c.a;
                }
            rgba &out = img.pixels[(top + y) * size + x];
            if (sum.a > 0)
                out = {sum.r / sum.a, sum.g / sum.a, sum.b / sum.a, sum.a / (ss * ss)};
        }
    return img;
}

void put16(std::string &s, unsigned v) {
    s += char(v & 0xff);
    s += char(v >> 8 & 0xff);
}
void put32(std::string &s, unsigned v) {
    put16(s, v & 0xffff);
    put16(s, v >> 16);
}

uint8_t byte_of(double v) {
    return uint8_t(std::lround(std::clamp(v, 0.0, 1.0) * 255));
}

// One icon image: BITMAPINFOHEADER, bottom-up colour rows, then the AND mask.
std::string encode(const image &img) {
    int n = img.size;
    int row_bytes = (n * img.bits / 8 + 3) & ~3;
    int mask_row_bytes = ((n + 31) / 32) * 4;
    std::string s;
    put32(s, 40);
    put32(s, n);
    put32(s, 2 * n);
    put16(s, 1);
    put16(s, img.bits);
    put32(s, 0);
    put32(s, (row_bytes + mask_row_bytes) * n);
    put32(s, 0);
    put32(s, 0);
    put32(s, 0);
    put32(s, 0);
    for (int y = n - 1; y >= 0; --y) {
        std::string row;
        for (int x = 0; x < n; ++x) {
            const rgba &p = img.pixels[y * n + x];
            bool opaque = img.bits == 32 ? p.a > 0 : p.a >= 0.5;
            row += char(opaque ? byte_of(p.b) : 0);
            row += char(opaque ? byte_of(p.g) : 0);
            row += char(opaque ? byte_of(p.r) : 0);
            if (img.bits == 32)
                row += char(byte_of(p.a));
        }
        row.resize(row_bytes, '\0');
        s += row;
    }
    for (int y = n - 1; y >= 0; --y) {
        std::string row(mask_row_bytes, '\0');
        for (int x = 0; x < n; ++x) {
            const rgba &p = img.pixels[y * n + x];
            bool transparent = img.bits == 32 ? byte_of(p.a) == 0 : p.a < 0.5;
            if (transparent)
                row[x / 8] = char(row[x / 8] | (0x80 >> (x % 8)));
        }
        s += row;
    }
    return s;
}

bool write_icon(const std::string &path, const std::vector<image> &images) {
    std::string dir, data;
    put16(dir, 0);
    put16(dir, 1);
    put16(dir, images.size());
    unsigned offset = 6 + 16 * images.size();
    for (const image &img : images) {
        std::string bytes = encode(img);
        dir += char(img.size >= 256 ? 0 : img.size);
        dir += char(img.size >= 256 ? 0 : img.size);
        dir += '\0';
        dir += '\0';
        put16(dir, 1);
        put16(dir, img.bits);
        put32(dir, bytes.size());
        put32(dir, offset);
        offset += bytes.size();
        data += bytes;
    }
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    std::string all = dir + data;
    bool ok = std::fwrite(all.data(), 1, all.size(), f) == all.size();
    return std::fclose(f) == 0 && ok;
}

// The marker fills about two thirds of an overlay image, in the corner where
// the shell expects overlays, leaving the item's own icon visible.
int overlay_badge(int size) {
    return size <= 16 ? 11 : int(std::lround(size * 0.625));
}

std::vector<image> overlay_set(int kind, const std::vector<int> &sizes32,
                               const std::vector<int> &sizes24) {
    std::vector<image> set;
    for (int s : sizes32)
        set.push_back(render(kind, s, 32, overlay_badge(s)));
    for (int s : sizes24)
        set.push_back(render(kind, s, 24, overlay_badge(s)));
    return set;
}

// A flat picture with an opaque background, for the bitmap resources.
struct canvas {
    int width, height;
    std::vector<rgba> pixels; // top-down

    canvas(int w, int h, rgba background) : width(w), height(h), pixels(w * h, background) {}

    // Draws `picture` (a function of the unit square) into the square of
    // side `size` whose top-left corner is (left, top), over what is there.
    template <typename Picture> void draw(const Picture &picture, double left, double top, double size) {
        const int ss = 8;
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                rgba sum = clear;
                for (int sy = 0; sy < ss; ++sy)
                    for (int sx = 0; sx < ss; ++sx) {
                        double ux = (x + (sx + 0.5) / ss - left) / size;
                        double uy = (y + (sy + 0.5) / ss - top) / size;
                        if (ux < 0 || ux >= 1 || uy < 0 || uy >= 1)
                            continue;
                        rgba c = picture.at(ux, uy);
                        sum.r += c.r * c.a;
                        sum.g += c.g * c.a;
                        sum.b += c.b * c.a;
                        sum.a += c.a;
                    }
                double a = sum.a / (ss * ss);
                if (a <= 0)
                    continue;
                rgba &out = pixels[y * width + x];
                out = {sum.r / sum.a * a + out.r * (1 - a), sum.g / sum.a * a + out.g * (1 - a),
                       sum.b / sum.a * a + out.b * (1 - a), 1};
            }
    }
};

// A round grey toolbar button with its sign. The greys are shaded around
// level 200, which the library tints to the menu colour.
struct round_button {
    enum sign_kind { plus, minus, cross, list } sign;
    double px;

    rgba at(double x, double y) const {
        double r = std::hypot(x - 0.5, y - 0.5);
        if (r > 0.5)
            return clear;
        if (r > 0.5 - std::max(0.04, px))
            return colour(150, 150, 150);
        double cx = x - 0.5, cy = y - 0.5;
        double w = std::max(0.13, 1.8 * px) / 2;
        switch (sign) {
        case plus:
            if (distance_to_segment(cx, cy, -0.22, 0, 0.22, 0) <= w ||
                distance_to_segment(cx, cy, 0, -0.22, 0, 0.22) <= w)
                return green;
            break;
        case minus:
            if (distance_to_segment(cx, cy, -0.22, 0, 0.22, 0) <= w)
                return red;
            break;
        case cross:
            if (distance_to_segment(cx, cy, -0.17, -0.17, 0.17, 0.17) <= w ||
                distance_to_segment(cx, cy, -0.17, 0.17, 0.17, -0.17) <= w)
                return red;
            break;
        case list:
            for (double ly : {-0.15, 0.0, 0.15}) {
                if (std::hypot(cx + 0.2, cy - ly) <= w * 0.8)
                    return blue;
                if (distance_to_segment(cx, cy, -0.04, ly, 0.22, ly) <= w * 0.6)
                    return blue;
            }
            break;
        }
        // Lit from above: lighter at the top, darker at the bottom.
        int level = int(std::lround(222 - 44 * y));
        return colour(level, level, level);
    }
};

struct folder {
    double px;

    rgba at(double x, double y) const {
        double rim = std::max(0.06, px);
        bool tab = x >= 0.06 && x <= 0.45 && y >= 0.16 && y <= 0.3;
        bool body = x >= 0.06 && x <= 0.94 && y >= 0.26 && y <= 0.86;
        if (!tab && !body)
            return clear;
        bool inner_tab = x >= 0.06 + rim && x <= 0.45 - rim && y >= 0.16 + rim;
        bool inner_body =
            x >= 0.06 + rim && x <= 0.94 - rim && y >= 0.26 + rim && y <= 0.86 - rim;
        return inner_tab || inner_body ? folder_yellow : folder_rim;
    }
};

// A BMP file: the file header, then what a bitmap resource holds (the
// information header, the colour table for 8 bits, bottom-up rows padded to
// four bytes).
bool write_bitmap(const std::string &path, const canvas &c, int bits) {
    std::vector<uint32_t> palette; // 0x00RRGGBB
    std::vector<uint8_t> indexes;
    if (bits == 8) {
        for (const rgba &p : c.pixels) {
            uint32_t v = byte_of(p.r) << 16 | byte_of(p.g) << 8 | byte_of(p.b);
            auto at = std::find(palette.begin(), palette.end(), v);
            if (at == palette.end()) {
                if (palette.size() == 256)
                    return false;
                at = palette.insert(palette.end(), v);
            }
            indexes.push_back(uint8_t(at - palette.begin()));
        }
    }
    int row_bytes = (c.width * bits / 8 + 3) & ~3;
    std::string body;
    put32(body, 40);
    put32(body, c.width);
    put32(body, c.height);
    put16(body, 1);
    put16(body, bits);
    put32(body, 0);
    put32(body, row_bytes * c.height);
    put32(body, 2835);
    put32(body, 2835);
    put32(body, palette.size());
    put32(body, 0);
    for (uint32_t v : palette)
        put32(body, v);
    for (int y = c.height - 1; y >= 0; --y) {
        std::string row;
        for (int x = 0; x < c.width; ++x) {
            if (bits == 8) {
                row += char(indexes[y * c.width + x]);
                continue;
            }
            const rgba &p = c.pixels[y * c.width + x];
            row += char(byte_of(p.b));
            row += char(byte_of(p.g));
            row += char(byte_of(p.r));
        }
        row.resize(row_bytes, '\0');
        body += row;
    }
    std::string file = "BM";
    put32(file, 14 + body.size());
    put32(file, 0);
    put32(file, 14 + 40 + 4 * palette.size());
    file += body;
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = std::fwrite(file.data(), 1, file.size(), f) == file.size();
    return std::fclose(f) == 0 && ok;
}

// The bitmaps of the editor, the chooser, the list and the menu entry.
bool write_bitmaps(const std::string &out) {
    const rgba grey200 = colour(200, 200, 200);
    const rgba window_white = colour(255, 255, 255);
    bool ok = true;
    // Toolbar and chooser images are 48 x 33; the toolbar shows the left 47
    // columns, so the picture sits centred in those.
    const double disc = 29, left = (47 - disc) / 2, top = (33 - disc) / 2;
    for (int kind = 0; kind < 6; ++kind) {
        canvas large(48, 33, grey200);
        large.draw(marker{kind, 1 / disc}, left, top, disc);
        ok &= write_bitmap(out + "/kind_large" + std::to_string(kind) + ".bmp", large, 24);
        canvas small(16, 16, window_white);
        small.draw(marker{kind, 1 / 15.0}, 0.5, 0.5, 15);
        ok &= write_bitmap(out + "/kind_small" + std::to_string(kind) + ".bmp", small, 24);
    }
    const struct {
        const char *name;
        round_button::sign_kind sign;
    } buttons[] = {{"save", round_button::plus},
                   {"remove", round_button::minus},
                   {"close", round_button::cross},
                   {"list", round_button::list}};
    for (const auto &b : buttons) {
        canvas c(48, 33, grey200);
        c.draw(round_button{b.sign, 1 / disc}, left, top, disc);
        ok &= write_bitmap(out + "/button_" + b.name + ".bmp", c, 24);
    }
    canvas folder_image(16, 16, window_white);
    folder_image.draw(folder{1 / 16.0}, 0, 0, 16);
    ok &= write_bitmap(out + "/folder_small.bmp", folder_image, 24);
    // The menu entry: on a light menu grey, and on black, which the library
    // maps to the menu colour of large menus.
    canvas menu(16, 16, colour(240, 240, 240));
    menu.draw(marker{0, 1 / 15.0}, 0.5, 0.5, 15);
    ok &= write_bitmap(out + "/menu_entry.bmp", menu, 8);
    canvas menu_on_black(16, 16, colour(0, 0, 0));
    menu_on_black.draw(marker{0, 1 / 15.0}, 0.5, 0.5, 15);
    ok &= write_bitmap(out + "/menu_entry_black.bmp", menu_on_black, 8);
    return ok;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_art OUTPUT_FOLDER\n");
        return 2;
    }
    std::string out = argv[1];
    bool ok = true;
    for (int kind = 0; kind < 6; ++kind) {
        std::string k = std::to_string(kind);
        ok &= write_icon(out + "/overlay_small" + k + ".ico",
                         overlay_set(kind, {16, 24, 32, 48, 64, 128}, {16, 32}));
        ok &= write_icon(out + "/overlay_large" + k + ".ico",
                         overlay_set(kind, {16, 24, 32, 48, 128, 256}, {16, 32}));
    }
    std::vector<image> app;
    for (int s : {16, 24, 32, 48, 64})
        app.push_back(render(0, s, 32, s));
    ok &= write_icon(out + "/application.ico", app);
    ok &= write_bitmaps(out);
    if (!ok)
        std::fprintf(stderr, "make_art: could not write every file\n");
    return ok ? 0 : 1;
}
