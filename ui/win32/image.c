/* The image buffer: the pixels in a 32-bit top-down DIB section, blue,
 * green, red, alpha, with the colour premultiplied by alpha as AlphaBlend
 * takes it. GdiAlphaBlend is gdi32's own AlphaBlend: msimg32, which is not
 * always taken from the system folder, is not imported. */
#include <stdlib.h>

#include "uipriv.h"

struct uiImageBuffer {
  HBITMAP bitmap;
  uint32_t *bits; /* owned by bitmap; width * height pixels */
  int width;
  int height;
  int alpha;
};

uiImageBuffer *uiNewImageBuffer(uiDrawContext *c, int width, int height,
                                int alpha) {
  if (width <= 0 || height <= 0) return NULL;
  uiImageBuffer *buf = malloc(sizeof *buf);
  if (buf == NULL) abort();
  BITMAPINFO bmi = {0};
  bmi.bmiHeader.biSize = sizeof bmi.bmiHeader;
  bmi.bmiHeader.biWidth = width;
  bmi.bmiHeader.biHeight = -height; /* rows top to bottom */
  bmi.bmiHeader.biPlanes = 1;
  bmi.bmiHeader.biBitCount = 32;
  bmi.bmiHeader.biCompression = BI_RGB;
  void *bits = NULL;
  buf->bitmap = CreateDIBSection(c != NULL ? c->dc : NULL, &bmi, DIB_RGB_COLORS,
                                 &bits, NULL, 0);
  if (buf->bitmap == NULL || bits == NULL) abort();
  buf->bits = bits;
  buf->width = width;
  buf->height = height;
  buf->alpha = alpha;
  return buf;
}

/* One pixel as the DIB holds it: 0xAARRGGBB in a little-endian word, that
 * is B, G, R, A in memory. */
static uint32_t to_dib_pixel(const uint8_t *rgba, int alpha) {
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
  GdiFlush(); /* GDI may still be reading the bits */
  const uint8_t *src = data;
  size_t n = (size_t)buf->width * (size_t)buf->height;
  for (size_t i = 0; i < n; i++)
    buf->bits[i] = to_dib_pixel(src + i * 4, buf->alpha);
}

/* Cuts [*pos, *pos + *len) of the source down to [0, limit) and moves the
 * matching destination span along with it; returns 0 when nothing is
 * left. */
static int clip_span(int *pos, int *len, int limit, int *dpos, int *dlen) {
  double scale = (double)*dlen / *len;
  int start = *pos < 0 ? 0 : *pos;
  int end = *pos + *len > limit ? limit : *pos + *len;
  if (end <= start) return 0;
  int dstart = *dpos + (int)((start - *pos) * scale + 0.5);
  int dend = *dpos + (int)((end - *pos) * scale + 0.5);
  if (dend <= dstart) return 0;
  *pos = start;
  *len = end - start;
  *dpos = dstart;
  *dlen = dend - dstart;
  return 1;
}

/* A dw x dh DIB section holding the sw x sh pixels of `buf` at (sx, sy)
 * enlarged or shrunk bilinearly (pixel centres mapped onto each other,
 * edges clamped); premultiplied colour interpolates as it is. NULL when
 * out of resources. */
static HBITMAP resampled(HDC dc, const uiImageBuffer *buf, int sx, int sy,
                         int sw, int sh, int dw, int dh) {
  BITMAPINFO bmi = {0};
  bmi.bmiHeader.biSize = sizeof bmi.bmiHeader;
  bmi.bmiHeader.biWidth = dw;
  bmi.bmiHeader.biHeight = -dh;
  bmi.bmiHeader.biPlanes = 1;
  bmi.bmiHeader.biBitCount = 32;
  bmi.bmiHeader.biCompression = BI_RGB;
  void *bits = NULL;
  HBITMAP bitmap = CreateDIBSection(dc, &bmi, DIB_RGB_COLORS, &bits, NULL, 0);
  if (bitmap == NULL || bits == NULL) return NULL;
  uint32_t *out = bits;
  for (int y = 0; y < dh; y++) {
    /* Source positions in 1/256 pixel. */
    int fy = (int)(((2 * y + 1) * (int64_t)sh * 128) / dh) - 128;
    if (fy < 0) fy = 0;
    int y0 = fy >> 8, wy = fy & 255;
    int y1 = y0 + 1 < sh ? y0 + 1 : sh - 1;
    const uint32_t *r0 = buf->bits + (size_t)(sy + y0) * buf->width + sx;
    const uint32_t *r1 = buf->bits + (size_t)(sy + y1) * buf->width + sx;
    for (int x = 0; x < dw; x++) {
      int fx = (int)(((2 * x + 1) * (int64_t)sw * 128) / dw) - 128;
      if (fx < 0) fx = 0;
      int x0 = fx >> 8, wx = fx & 255;
      int x1 = x0 + 1 < sw ? x0 + 1 : sw - 1;
      uint32_t p = 0;
      for (int shift = 0; shift < 32; shift += 8) {
        uint32_t a = r0[x0] >> shift & 255, b = r0[x1] >> shift & 255;
        uint32_t c = r1[x0] >> shift & 255, d = r1[x1] >> shift & 255;
        uint32_t top = a * (256 - wx) + b * wx;
        uint32_t bottom = c * (256 - wx) + d * wx;
        uint32_t v = (top * (256 - wy) + bottom * wy + 32768) >> 16;
        p |= v << shift;
      }
      out[(size_t)y * dw + x] = p;
    }
  }
  return bitmap;
}

void uiImageBufferDraw(uiDrawContext *c, uiImageBuffer *buf, uiRect *srcrect,
                       uiRect *dstrect, int filter) {
  if (srcrect->Width <= 0 || srcrect->Height <= 0 || dstrect->Width <= 0 ||
      dstrect->Height <= 0)
    return;
  /* Only the part of the source inside the buffer is drawn, as cairo
   * leaves the outside transparent. */
  int sx = srcrect->X, sy = srcrect->Y, sw = srcrect->Width,
      sh = srcrect->Height;
  int dx = dstrect->X, dy = dstrect->Y, dw = dstrect->Width,
      dh = dstrect->Height;
  if (!clip_span(&sx, &sw, buf->width, &dx, &dw) ||
      !clip_span(&sy, &sh, buf->height, &dy, &dh))
    return;
  HDC mem = CreateCompatibleDC(c->dc);
  if (mem == NULL) return;
  HGDIOBJ old = SelectObject(mem, buf->bitmap);
  int scaled = sw != dw || sh != dh;
  HBITMAP smooth = buf->alpha && scaled && filter
                       ? resampled(c->dc, buf, sx, sy, sw, sh, dw, dh)
                       : NULL;
  if (smooth != NULL) {
    /* Enlarged or shrunk smoothly first: AlphaBlend's own scaling repeats
     * or drops pixels. */
    SelectObject(mem, smooth);
    BLENDFUNCTION blend = {AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    GdiAlphaBlend(c->dc, dx, dy, dw, dh, mem, 0, 0, dw, dh, blend);
  } else if (buf->alpha) {
    /* Unscaled, or scaled without a filter: AlphaBlend does it. */
    BLENDFUNCTION blend = {AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    GdiAlphaBlend(c->dc, dx, dy, dw, dh, mem, sx, sy, sw, sh, blend);
  } else if (!scaled) {
    BitBlt(c->dc, dx, dy, dw, dh, mem, sx, sy, SRCCOPY);
  } else {
    int mode = SetStretchBltMode(c->dc, filter ? HALFTONE : COLORONCOLOR);
    POINT origin;
    if (filter) SetBrushOrgEx(c->dc, 0, 0, &origin);
    StretchBlt(c->dc, dx, dy, dw, dh, mem, sx, sy, sw, sh, SRCCOPY);
    if (filter) SetBrushOrgEx(c->dc, origin.x, origin.y, NULL);
    SetStretchBltMode(c->dc, mode);
  }
  SelectObject(mem, old);
  DeleteDC(mem);
  if (smooth != NULL) DeleteObject(smooth);
}

void uiFreeImageBuffer(uiImageBuffer *buf) {
  if (buf == NULL) return;
  DeleteObject(buf->bitmap);
  free(buf);
}
