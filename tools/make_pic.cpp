// Draws the window's logo strip, the PNG "pic" (no extension) that the tool
// shows unscaled at the top of its window. Run at build time:
//   make_pic OUTPUT
#include <cairo.h>

#include <cmath>
#include <cstdio>

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

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT\n", argv[0]);
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
