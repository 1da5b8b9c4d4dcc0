/*
 * The subset of the libui C API that the progress window uses (the toolkit's
 * start, end and loop, a borderless window, a box, a progress bar and a
 * drawing area), plus the image-buffer extension. Names and signatures
 * follow libui so that the binding above it does not depend on which
 * backend is linked: the GTK 3 backend in ui/gtk/ on Linux, the Win32 one
 * in ui/win32/ on Windows; CMake links one of the two.
 *
 * Every function must be called on the thread that called uiInit(), except
 * uiWakeMain(), which any thread may call, and uiMsgBoxError(), which also
 * works before uiInit().
 */
#ifndef TALVORO_UI_LIBUI_UI_H_
#define TALVORO_UI_LIBUI_UI_H_

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Toolkit ---------------------------------------------------------- */

typedef struct uiInitOptions uiInitOptions;
struct uiInitOptions {
  size_t Size;
};

/* Starts the toolkit. Returns NULL on success, or a message that the caller
 * owns and releases with uiFreeInitError(). Never exits the process: without
 * a display it returns a message. */
const char *uiInit(uiInitOptions *options);
/* Ends the toolkit. Every control must have been destroyed before. */
void uiUninit(void);
void uiFreeInitError(const char *err);

/* Announces that the caller drives the loop with uiMainStep() from now on;
 * an earlier uiQuit() is forgotten. */
void uiMainSteps(void);
/* Handles at most one pending batch of events. With wait == 0 it never
 * blocks. Returns 0 once uiQuit() has been called, 1 otherwise. */
int uiMainStep(int wait);
/* Asks the loop to end; the current or next uiMainStep() returns 0. */
void uiQuit(void);

/* Like uiMainStep(1), but waits at most `milliseconds` (0: not at all) for
 * something to handle: returns after one batch of events, after
 * uiWakeMain(), or once the time is up. Returns 0 once uiQuit() has been
 * called, 1 otherwise. */
int uiMainStepTimeout(int milliseconds);
/* Makes a uiMainStepTimeout() that waits now, or the next one, return
 * soon. Safe to call from any thread while the toolkit runs. */
void uiWakeMain(void);
/* Releases text returned by the backend (uiStatusTextText). */
void uiFreeText(char *text);

/* ---- Controls --------------------------------------------------------- */

typedef struct uiControl uiControl;
#define uiControl(this) ((uiControl *)(this))

/* Destroys the control and every control inside it. A control that still
 * has a parent cannot be destroyed (a caller's bug: message and abort). */
void uiControlDestroy(uiControl *c);
void uiControlShow(uiControl *c);
void uiControlHide(uiControl *c);
/* The control's native handle: an HWND on Windows, a GtkWidget * on GTK. */
uintptr_t uiControlHandle(uiControl *c);

/* ---- Window ----------------------------------------------------------- */

typedef struct uiWindow uiWindow;
#define uiWindow(this) ((uiWindow *)(this))

/* A top-level window whose content area is width x height pixels. The
 * title is NUL-terminated UTF-8 and copied. */
uiWindow *uiNewWindow(const char *title, int width, int height, int hasMenubar);
/* f is called when the window is asked to close. If it returns non-zero
 * the window is destroyed; with 0 nothing happens to it. */
void uiWindowOnClosing(uiWindow *w, int (*f)(uiWindow *w, void *data),
                       void *data);
void uiWindowSetMargined(uiWindow *w, int margined);
void uiWindowSetBorderless(uiWindow *w, int borderless);
void uiWindowSetResizeable(uiWindow *w, int resizeable);
/* Places the window's top-left corner at (x, y) in screen pixels. */
void uiWindowSetPosition(uiWindow *w, int x, int y);
/* child becomes owned by the window; NULL removes the current child. */
void uiWindowSetChild(uiWindow *w, uiControl *child);

/* ---- Message box ----------------------------------------------------- */

/* A modal message box with an error icon and one button to dismiss it:
 * `title` and `description` are UTF-8. Returns when the user dismissed it.
 * parent may be NULL; works whether or not uiInit() was called (on GTK it
 * starts GTK if needed). Returns 0 when there is no screen to show it on,
 * 1 otherwise. */
int uiMsgBoxError(uiWindow *parent, const char *title, const char *description);

/* ---- Box -------------------------------------------------------------- */

typedef struct uiBox uiBox;
#define uiBox(this) ((uiBox *)(this))

uiBox *uiNewVerticalBox(void);
/* child becomes owned by the box; a stretchy child takes the free space. */
void uiBoxAppend(uiBox *b, uiControl *child, int stretchy);
void uiBoxSetPadded(uiBox *b, int padded);

/* ---- Area ------------------------------------------------------------- */

typedef struct uiArea uiArea;
#define uiArea(this) ((uiArea *)(this))
typedef struct uiDrawContext uiDrawContext;

typedef unsigned int uiModifiers;
enum {
  uiModifierCtrl = 1 << 0,
  uiModifierAlt = 1 << 1,
  uiModifierShift = 1 << 2,
  uiModifierSuper = 1 << 3,
};

typedef int uiExtKey;
enum {
  uiExtKeyEscape = 1,
  uiExtKeyInsert,
  uiExtKeyDelete,
  uiExtKeyHome,
  uiExtKeyEnd,
  uiExtKeyPageUp,
  uiExtKeyPageDown,
  uiExtKeyUp,
  uiExtKeyDown,
  uiExtKeyLeft,
  uiExtKeyRight,
};

typedef struct uiAreaDrawParams uiAreaDrawParams;
struct uiAreaDrawParams {
  uiDrawContext *Context;
  double AreaWidth;
  double AreaHeight;
  double ClipX;
  double ClipY;
  double ClipWidth;
  double ClipHeight;
};

typedef struct uiAreaMouseEvent uiAreaMouseEvent;
struct uiAreaMouseEvent {
  double X;
  double Y;
  double AreaWidth;
  double AreaHeight;
  int Down;
  int Up;
  int Count;
  uiModifiers Modifiers;
  uint64_t Held1To64;
};

typedef struct uiAreaKeyEvent uiAreaKeyEvent;
struct uiAreaKeyEvent {
  char Key;
  uiExtKey ExtKey;
  uiModifiers Modifier;
  uiModifiers Modifiers;
  int Up;
};

/* The callbacks of an area. The handler must outlive the area. KeyEvent
 * returns non-zero when it handled the key. */
typedef struct uiAreaHandler uiAreaHandler;
struct uiAreaHandler {
  void (*Draw)(uiAreaHandler *, uiArea *, uiAreaDrawParams *);
  void (*MouseEvent)(uiAreaHandler *, uiArea *, uiAreaMouseEvent *);
  void (*MouseCrossed)(uiAreaHandler *, uiArea *, int left);
  void (*DragBroken)(uiAreaHandler *, uiArea *);
  int (*KeyEvent)(uiAreaHandler *, uiArea *, uiAreaKeyEvent *);
};

uiArea *uiNewArea(uiAreaHandler *ah);

/* ---- Progress bar ----------------------------------------------------- */

typedef struct uiProgressBar uiProgressBar;
#define uiProgressBar(this) ((uiProgressBar *)(this))

uiProgressBar *uiNewProgressBar(void);
/* value is 0 to 100, or -1 for an indeterminate bar. Anything else is a
 * caller's bug: "Value %d is out of range for uiProgressBars." on stderr,
 * then abort. */
void uiProgressBarSetValue(uiProgressBar *p, int value);
/* error != 0 shows the bar in its error state (Windows: PBST_ERROR; GTK:
 * the style class "error"), 0 in its normal one. */
void uiProgressBarSetError(uiProgressBar *p, int error);

/* ---- Status text ------------------------------------------------------ */

typedef struct uiStatusText uiStatusText;
#define uiStatusText(this) ((uiStatusText *)(this))

/* One line of text laid over the bottom of `over`, light on a dark band
 * as wide as the area, drawn with a font `font_pixels` high (one that has
 * Chinese where the system has one). A real text control, which screen
 * readers read: a STATIC window on Windows, a GtkLabel on GTK. Hidden while
 * its text is empty, as it starts. The area owns it: it is destroyed with
 * the area. */
uiStatusText *uiNewStatusText(uiArea *over, int font_pixels);
/* Sets the text (NUL-terminated UTF-8, copied); "" hides the band. A text
 * wider than the area wraps. */
void uiStatusTextSetText(uiStatusText *s, const char *text);
/* The text as the toolkit holds it, in UTF-8; release with uiFreeText(). */
char *uiStatusTextText(uiStatusText *s);

/* ---- Image buffer ----------------------------------------------------- */

typedef struct uiRect uiRect;
struct uiRect {
  int X;
  int Y;
  int Width;
  int Height;
};

typedef struct uiImageBuffer uiImageBuffer;

/* A width x height pixel buffer for drawing on c. With alpha != 0 the
 * pixels are RGBA with straight alpha; with 0 they are RGBX. Returns NULL
 * for a size that is not positive. */
uiImageBuffer *uiNewImageBuffer(uiDrawContext *c, int width, int height,
                                int alpha);
/* Copies width x height pixels from data (4 bytes each, R G B A, rows top
 * to bottom, stride width * 4) into the buffer. */
void uiImageBufferUpdate(uiImageBuffer *buf, const void *data);
/* Draws the srcrect part of the buffer into dstrect of c, scaled to fit.
 * filter != 0 smooths scaled pixels; 0 keeps them square. */
void uiImageBufferDraw(uiDrawContext *c, uiImageBuffer *buf, uiRect *srcrect,
                       uiRect *dstrect, int filter);
void uiFreeImageBuffer(uiImageBuffer *buf);

#ifdef __cplusplus
}
#endif

#endif /* TALVORO_UI_LIBUI_UI_H_ */
