// Draws the window's logo strip, the PNG "pic" (no extension) that the tool
// shows unscaled at the top of its window, and the program's icon in the
// same colours. Run at build time:
//   make_pic OUTPUT              the logo
//   make_pic --icon SIZE OUTPUT  the icon as a SIZE x SIZE PNG
//   make_pic --icon-svg OUTPUT   the icon as SVG
#include <cairo-svg.h>
#include <cairo.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{

// The strip's drawing area in a window of natural size: the window's 800
// pixels of content less the frame's 2-pixel shadow on each side, and one
// sixth of its 480-pixel height less the same.
constexpr int width = 796;
constexpr int height = 76;

void band(cairo_t *cr)
{
    cairo_pattern_t *p = cairo_pattern_create_linear(0, 0, 0, height);
    cairo_pattern_add_color_stop_rgb(p, 0, 0.10, 0.33, 0.62);
    cairo_pattern_add_color_stop_rgb(p, 1, 0.04, 0.18, 0.40);
    cairo_set_source(cr, p);
    cairo_paint(cr);
    cairo_pattern_destroy(p);
}

// Three arcs over a dot: a radio sign beside the name.
void radio_sign(cairo_t *cr, double cx, double cy)
{
    cairo_set_source_rgb(cr, 1, 0.78, 0.2);
    cairo_arc(cr, cx, cy, 4, 0, 2 * M_PI);
    cairo_fill(cr);
    cairo_set_line_width(cr, 4);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    for (int r = 14; r <= 38; r += 12) {
        cairo_arc(cr, cx, cy, r, -3 * M_PI / 4, -M_PI / 4);
        cairo_stroke(cr);
    }
}

void text(cairo_t *cr, const char *s, double x, double y, double size, cairo_font_weight_t w)
{
    cairo_select_font_face(cr, "Sans", CAIRO_FONT_SLANT_NORMAL, w);
    cairo_set_font_size(cr, size);
    cairo_move_to(cr, x, y);
    cairo_show_text(cr, s);
}

// The icon on a unit square: the logo's band as a rounded tile, its radio
// sign over a white module board. PNG and SVG share this one drawing.
void icon(cairo_t *cr, double size)
{
    cairo_scale(cr, size, size);
    const double m = 0.04, r = 0.18; // margin and corner radius
    cairo_new_sub_path(cr);
    cairo_arc(cr, 1 - m - r, m + r, r, -M_PI / 2, 0);
    cairo_arc(cr, 1 - m - r, 1 - m - r, r, 0, M_PI / 2);
    cairo_arc(cr, m + r, 1 - m - r, r, M_PI / 2, M_PI);
    cairo_arc(cr, m + r, m + r, r, M_PI, 3 * M_PI / 2);
    cairo_close_path(cr);
    cairo_pattern_t *p = cairo_pattern_create_linear(0, m, 0, 1 - m);
    cairo_pattern_add_color_stop_rgb(p, 0, 0.10, 0.33, 0.62);
    cairo_pattern_add_color_stop_rgb(p, 1, 0.04, 0.18, 0.40);
    cairo_set_source(cr, p);
    cairo_fill(cr);
    cairo_pattern_destroy(p);

    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_rectangle(cr, 0.26, 0.78, 0.48, 0.09);
    for (int i = 0; i < 5; ++i)
        cairo_rectangle(cr, 0.30 + i * 0.09, 0.87, 0.04, 0.04); // pins
    cairo_fill(cr);

    const double cx = 0.5, cy = 0.68;
    cairo_set_source_rgb(cr, 1, 0.78, 0.2);
    cairo_arc(cr, cx, cy, 0.065, 0, 2 * M_PI);
    cairo_fill(cr);
    cairo_set_line_width(cr, 0.07);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    for (double a = 0.19; a < 0.5; a += 0.13) {
        cairo_arc(cr, cx, cy, a, -3 * M_PI / 4, -M_PI / 4);
        cairo_stroke(cr);
    }
}

int finish(cairo_surface_t *surface, const char *path, bool png)
{
    cairo_status_t st = png ? cairo_surface_write_to_png(surface, path) : CAIRO_STATUS_SUCCESS;
    cairo_surface_finish(surface);
    if (st == CAIRO_STATUS_SUCCESS)
        st = cairo_surface_status(surface);
    cairo_surface_destroy(surface);
    if (st != CAIRO_STATUS_SUCCESS) {
        std::fprintf(stderr, "%s: %s\n", path, cairo_status_to_string(st));
        return 1;
    }
    return 0;
}

int draw_icon(const char *path, int size, bool svg)
{
    cairo_surface_t *surface = svg ? cairo_svg_surface_create(path, size, size)
                                   : cairo_image_surface_create(CAIRO_FORMAT_ARGB32, size, size);
    cairo_t *cr = cairo_create(surface);
    icon(cr, size);
    cairo_destroy(cr);
    return finish(surface, path, !svg);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && std::strcmp(argv[1], "--icon") == 0) {
        int size = std::atoi(argv[2]);
        if (size < 16 || size > 1024) {
            std::fprintf(stderr, "%s: icon size from 16 to 1024\n", argv[0]);
            return 2;
        }
        return draw_icon(argv[3], size, false);
    }
    if (argc == 3 && std::strcmp(argv[1], "--icon-svg") == 0)
        return draw_icon(argv[2], 48, true);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT | --icon SIZE OUTPUT | --icon-svg OUTPUT\n",
                     argv[0]);
        return 2;
    }
    cairo_surface_t *surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
    cairo_t *cr = cairo_create(surface);

    band(cr);
    radio_sign(cr, 48, 58);
    cairo_set_source_rgb(cr, 1, 1, 1);
    text(cr, "QX-B27", 100, 50, 34, CAIRO_FONT_WEIGHT_BOLD);
    cairo_set_source_rgb(cr, 0.78, 0.86, 0.96);
    text(cr, "Serial to Wi-Fi module configuration", 270, 48, 18, CAIRO_FONT_WEIGHT_NORMAL);

    cairo_destroy(cr);
    cairo_status_t st = cairo_surface_write_to_png(surface, argv[1]);
    cairo_surface_destroy(surface);
    if (st != CAIRO_STATUS_SUCCESS) {
        std::fprintf(stderr, "%s: %s\n", argv[1], cairo_status_to_string(st));
        return 1;
    }
    return 0;
}
