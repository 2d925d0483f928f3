// tavrin-stroke-recorder: a plain X window that covers the screen, prints the
// pointer events the X server delivers to it and draws the strokes, so a run
// of the service can be watched and checked from outside. On exit it can
// save what it drew as a PNG.
//
//   tavrin-stroke-recorder [--png FILE] [--seconds N]
//
// Lines printed (flushed at once):
//   ready WIDTHxHEIGHT
//   press BUTTON X Y
//   motion X Y            (only while a button is held)
//   release BUTTON X Y
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <png.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/select.h>
#include <vector>

namespace
{
volatile sig_atomic_t g_bStop = 0;
void OnSignal(int) { g_bStop = 1; }

class CStrokeRecorder
{
public:
    bool Open();
    void Run(double seconds);
    bool SavePng(const char* path);
    ~CStrokeRecorder();

private:
    void Handle(const XEvent& ev);
    unsigned long Color(const char* name);

    Display* m_pDisplay = nullptr;
    Window m_Window = 0;
    GC m_Gc = nullptr;
    int m_nWidth = 0, m_nHeight = 0;
    int m_nLastX = -1, m_nLastY = -1;
    unsigned m_nButtons = 0;
    unsigned long m_Ink = 0, m_RightMark = 0;
};

unsigned long CStrokeRecorder::Color(const char* name)
{
    XColor c, exact;
    Colormap cmap = DefaultColormap(m_pDisplay, DefaultScreen(m_pDisplay));
    if (XAllocNamedColor(m_pDisplay, cmap, name, &c, &exact))
        return c.pixel;
    return BlackPixel(m_pDisplay, DefaultScreen(m_pDisplay));
}

bool CStrokeRecorder::Open()
{
    m_pDisplay = XOpenDisplay(nullptr);
    if (!m_pDisplay)
    {
        fprintf(stderr, "tavrin-stroke-recorder: cannot open the X display\n");
        return false;
    }
    int screen = DefaultScreen(m_pDisplay);
    m_nWidth = DisplayWidth(m_pDisplay, screen);
    m_nHeight = DisplayHeight(m_pDisplay, screen);
    XSetWindowAttributes attrs;
    attrs.override_redirect = True;
    attrs.background_pixel = WhitePixel(m_pDisplay, screen);
    attrs.event_mask = ButtonPressMask | ButtonReleaseMask | PointerMotionMask | ExposureMask;
    m_Window = XCreateWindow(m_pDisplay, RootWindow(m_pDisplay, screen), 0, 0, m_nWidth, m_nHeight, 0,
                             CopyFromParent, InputOutput, CopyFromParent,
                             CWOverrideRedirect | CWBackPixel | CWEventMask, &attrs);
    m_Gc = XCreateGC(m_pDisplay, m_Window, 0, nullptr);
    m_Ink = Color("navy");
    m_RightMark = Color("red");
    XSetLineAttributes(m_pDisplay, m_Gc, 4, LineSolid, CapRound, JoinRound);
    XMapRaised(m_pDisplay, m_Window);
    XSync(m_pDisplay, False);
    printf("ready %dx%d\n", m_nWidth, m_nHeight);
    fflush(stdout);
    return true;
}

void CStrokeRecorder::Handle(const XEvent& ev)
{
    switch (ev.type)
    {
    case ButtonPress:
        printf("press %u %d %d\n", ev.xbutton.button, ev.xbutton.x, ev.xbutton.y);
        m_nButtons |= 1u << ev.xbutton.button;
        if (ev.xbutton.button == 3)
        {
            XSetForeground(m_pDisplay, m_Gc, m_RightMark);
            XDrawArc(m_pDisplay, m_Window, m_Gc, ev.xbutton.x - 12, ev.xbutton.y - 12, 24, 24, 0, 360 * 64);
        }
        m_nLastX = ev.xbutton.x;
        m_nLastY = ev.xbutton.y;
        break;
    case ButtonRelease:
        printf("release %u %d %d\n", ev.xbutton.button, ev.xbutton.x, ev.xbutton.y);
        m_nButtons &= ~(1u << ev.xbutton.button);
        break;
    case MotionNotify:
        if (m_nButtons & (1u << 1))
        {
            printf("motion %d %d\n", ev.xmotion.x, ev.xmotion.y);
            XSetForeground(m_pDisplay, m_Gc, m_Ink);
            XDrawLine(m_pDisplay, m_Window, m_Gc, m_nLastX, m_nLastY, ev.xmotion.x, ev.xmotion.y);
        }
        m_nLastX = ev.xmotion.x;
        m_nLastY = ev.xmotion.y;
        break;
    default:
        break;
    }
    fflush(stdout);
}

void CStrokeRecorder::Run(double seconds)
{
    int fd = ConnectionNumber(m_pDisplay);
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    while (!g_bStop)
    {
        while (XPending(m_pDisplay))
        {
            XEvent ev;
            XNextEvent(m_pDisplay, &ev);
            Handle(ev);
        }
        XFlush(m_pDisplay);
        if (seconds > 0)
        {
            struct timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            if ((now.tv_sec - start.tv_sec) + (now.tv_nsec - start.tv_nsec) / 1e9 >= seconds)
                break;
        }
        fd_set set;
        FD_ZERO(&set);
        FD_SET(fd, &set);
        struct timeval tv = {0, 100000};
        select(fd + 1, &set, nullptr, nullptr, &tv);
    }
}

bool CStrokeRecorder::SavePng(const char* path)
{
    XSync(m_pDisplay, False);
    XImage* img = XGetImage(m_pDisplay, m_Window, 0, 0, m_nWidth, m_nHeight, AllPlanes, ZPixmap);
    if (!img)
        return false;
    FILE* f = fopen(path, "wb");
    png_structp png = f ? png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr) : nullptr;
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    bool ok = png && info && !setjmp(png_jmpbuf(png));
    if (ok)
    {
        png_init_io(png, f);
        png_set_IHDR(png, info, m_nWidth, m_nHeight, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                     PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        png_write_info(png, info);
        std::vector<png_byte> row(m_nWidth * 3);
        for (int y = 0; y < m_nHeight; ++y)
        {
            for (int x = 0; x < m_nWidth; ++x)
            {
                unsigned long p = XGetPixel(img, x, y);
                row[x * 3] = (p >> 16) & 0xFF;
                row[x * 3 + 1] = (p >> 8) & 0xFF;
                row[x * 3 + 2] = p & 0xFF;
            }
            png_write_row(png, row.data());
        }
        png_write_end(png, nullptr);
    }
    if (png)
        png_destroy_write_struct(&png, info ? &info : nullptr);
    if (f)
        fclose(f);
    XDestroyImage(img);
    return ok;
}

CStrokeRecorder::~CStrokeRecorder()
{
    if (m_pDisplay)
    {
        if (m_Gc)
            XFreeGC(m_pDisplay, m_Gc);
        if (m_Window)
            XDestroyWindow(m_pDisplay, m_Window);
        XCloseDisplay(m_pDisplay);
    }
}
}  // namespace

int main(int argc, char** argv)
{
    const char* png = nullptr;
    double seconds = 0;
    for (int i = 1; i < argc; ++i)
    {
        if (!strcmp(argv[i], "--png") && i + 1 < argc)
            png = argv[++i];
        else if (!strcmp(argv[i], "--seconds") && i + 1 < argc)
            seconds = atof(argv[++i]);
        else
        {
            fprintf(stderr, "usage: %s [--png FILE] [--seconds N]\n", argv[0]);
            return 2;
        }
    }
    signal(SIGTERM, OnSignal);
    signal(SIGINT, OnSignal);
    CStrokeRecorder rec;
    if (!rec.Open())
        return 1;
    rec.Run(seconds);
    if (png && !rec.SavePng(png))
    {
        fprintf(stderr, "tavrin-stroke-recorder: cannot write %s\n", png);
        return 1;
    }
    return 0;
}
