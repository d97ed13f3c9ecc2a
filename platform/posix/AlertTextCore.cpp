// posix/: what any POSIX system offers (with flock and dlopen); nothing that only Linux has.
// The alert dialog's text in the server's core fonts, where Xft is missing.
#include "AlertText.h"

namespace platform {

namespace {

std::vector<XChar2b> characters(std::u32string_view text)
{
    std::vector<XChar2b> characters;
    characters.reserve(text.size());
    for (char32_t codePoint : text) {
        if (codePoint > 0xFFFF)
            codePoint = 0xFFFD;
        characters.push_back(
            { static_cast<unsigned char>(codePoint >> 8), static_cast<unsigned char>(codePoint & 0xFF) });
    }
    return characters;
}

XFontStruct* loadFirst(const Xlib& x, ::Display* display, std::initializer_list<const char*> names)
{
    for (const char* name : names) {
        if (XFontStruct* font = x.XLoadQueryFont(display, name))
            return font;
    }
    return nullptr;
}

class CoreText final : public DialogText {
public:
    CoreText(const Xlib& x, ::Display* display, XFontStruct* regular, XFontStruct* heading)
        : m_x(x)
        , m_display(display)
        , m_regular(regular)
        , m_heading(heading)
        , m_gc(x.XCreateGC(display, DefaultRootWindow(display), 0, nullptr))
    {
    }
    ~CoreText() override
    {
        m_x.XFreeGC(m_display, m_gc);
        if (m_heading != m_regular)
            m_x.XFreeFont(m_display, m_heading);
        m_x.XFreeFont(m_display, m_regular);
    }
    CoreText(const CoreText&) = delete;
    CoreText& operator=(const CoreText&) = delete;

    int width(TextFace face, std::u32string_view text) override
    {
        auto line = characters(text);
        return m_x.XTextWidth16(font(face), line.data(), static_cast<int>(line.size()));
    }
    int ascent(TextFace face) const override { return font(face)->ascent; }
    int descent(TextFace face) const override { return font(face)->descent; }
    void draw(Drawable drawable, TextFace face, int x, int baseline, std::u32string_view text,
        const TextColor& color) override
    {
        auto line = characters(text);
        m_x.XSetForeground(m_display, m_gc, color.pixel);
        m_x.XSetFont(m_display, m_gc, font(face)->fid);
        m_x.XDrawString16(m_display, drawable, m_gc, x, baseline, line.data(), static_cast<int>(line.size()));
    }

private:
    XFontStruct* font(TextFace face) const { return face == TextFace::Heading ? m_heading : m_regular; }

    const Xlib& m_x;
    ::Display* m_display;
    XFontStruct* m_regular;
    XFontStruct* m_heading;
    GC m_gc;
};

}

std::unique_ptr<DialogText> makeCoreText(const Xlib& x, ::Display* display)
{
    XFontStruct* regular = loadFirst(x, display,
        { "-*-helvetica-medium-r-normal--14-*-*-*-*-*-iso10646-1",
            "-misc-fixed-medium-r-normal--13-*-*-*-*-*-iso10646-1", "fixed" });
    if (!regular)
        return nullptr;
    XFontStruct* heading = loadFirst(x, display,
        { "-*-helvetica-bold-r-normal--14-*-*-*-*-*-iso10646-1",
            "-misc-fixed-bold-r-normal--13-*-*-*-*-*-iso10646-1" });
    return std::make_unique<CoreText>(x, display, regular, heading ? heading : regular);
}

}
