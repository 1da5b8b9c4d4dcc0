/* The image buffer: RGBA pixels held in a cairo image surface. */
#include <stdlib.h>

#include "uipriv.h"

struct uiImageBuffer {
  cairo_surface_t *surface;
  int width;
  int height;
  int alpha;
};

uiImageBuffer *uiNewImageBuffer(uiDrawContext *c, int width, int height,
                                int alpha) {
  (void)c;
  if (width <= 0 || height <= 0) return NULL;
  uiImageBuffer *buf = malloc(sizeof *buf);
  if (buf == NULL) abort();
  buf->surface = cairo_image_surface_create(
      alpha ? CAIRO_FORMAT_ARGB32 : CAIRO_FORMAT_RGB24, width, height);
  if (cairo_surface_status(buf->surface) != CAIRO_STATUS_SUCCESS) abort();
  buf->width = width;
  buf->height = height;
  buf->alpha = alpha;
  return buf;
}

/* Cairo keeps pixels as native-endian 32-bit words, 0xAARRGGBB, with the
 * colour premultiplied by alpha. */
static uint32_t to_cairo_pixel(const uint8_t *rgba, int alpha) {
  uint32_t a = alpha ? rgba[3] : 255;
  uint32_t r = rgba[0], g = rgba[1], b = rgba[2];
  if (a != 255) {
    r = (r * a + 127) / 255;
    g = (g * a + 127) / 255;
    b = (b * a + 127) / 255;
  }
  return a << 24 | r << 16 | g << 8 | b;
}

void uiImageBufferUpdate(uiImageBuffer *buf, const void *data) {
  cairo_surface_flush(buf->surface);
  unsigned char *dst = cairo_image_surface_get_data(buf->surface);
  int dst_stride = cairo_image_surface_get_stride(buf->surface);
  const uint8_t *src = data;
  for (int y = 0; y < buf->height; y++) {
    uint32_t *row = (uint32_t *)(dst + (size_t)y * (size_t)dst_stride);
    const uint8_t *in = src + (size_t)y * (size_t)buf->width * 4;
    for (int x = 0; x < buf->width; x++)
      row[x] = to_cairo_pixel(in + (size_t)x * 4, buf->alpha);
  }
  cairo_surface_mark_dirty(buf->surface);
}

void uiImageBufferDraw(uiDrawContext *c, uiImageBuffer *buf, uiRect *srcrect,
                       uiRect *dstrect, int filter) {
  if (srcrect->Width <= 0 || srcrect->Height <= 0 || dstrect->Width <= 0 ||
      dstrect->Height <= 0)
    return;
  cairo_t *cr = c->cr;
  cairo_save(cr);
  cairo_rectangle(cr, dstrect->X, dstrect->Y, dstrect->Width, dstrect->Height);
  cairo_clip(cr);
  cairo_translate(cr, dstrect->X, dstrect->Y);
  cairo_scale(cr, (double)dstrect->Width / srcrect->Width,
              (double)dstrect->Height / srcrect->Height);
  cairo_set_source_surface(cr, buf->surface, -srcrect->X, -srcrect->Y);
  cairo_pattern_set_filter(cairo_get_source(cr), filter ? CAIRO_FILTER_BILINEAR
                                                        : CAIRO_FILTER_NEAREST);
  cairo_paint(cr);
  cairo_restore(cr);
}

void uiFreeImageBuffer(uiImageBuffer *buf) {
  if (buf == NULL) return;
  cairo_surface_destroy(buf->surface);
  free(buf);
}
