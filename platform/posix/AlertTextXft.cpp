// posix/: what any POSIX system offers (with flock and dlopen); nothing that only Linux has.
// The alert dialog's text through Xft: anti-aliased, and in any script some
// installed font covers, chosen per character from fontconfig's fallback list.
#include "AlertText.h"
#include "Xft.h"

#include <map>
#include <unordered_map>

namespace platform {

namespace {

// One face: fontconfig's sorted list for it, each font opened when a
// character first needs it.
class XftFace {
public:
    XftFace(const Xft& xft, ::Display* display, FcPattern* pattern, FcFontSet* sorted)
        : m_xft(xft)
        , m_display(display)
        , m_pattern(pattern)
        , m_sorted(sorted)
        , m_fonts(static_cast<size_t>(sorted->nfont), nullptr)
    {
    }
    ~XftFace()
    {
        for (XftFont* font : m_fonts) {
            if (font)
                m_xft.XftFontClose(m_display, font);
        }
        m_xft.FcFontSetDestroy(m_sorted);
        m_xft.FcPatternDestroy(m_pattern);
    }
    XftFace(const XftFace&) = delete;
    XftFace& operator=(const XftFace&) = delete;

    XftFont* primary() { return font(0); }

    // Calls run(font, piece) for each piece of text that one font draws.
    template<typename Run> void forEachRun(std::u32string_view text, const Run& run)
    {
        while (!text.empty()) {
            size_t index = fontIndex(text.front());
            size_t length = 1;
            while (length < text.size() && fontIndex(text[length]) == index)
                ++length;
            run(font(index), text.substr(0, length));
            text.remove_prefix(length);
        }
    }

private:
    XftFont* font(size_t index)
    {
        if (!m_fonts[index]) {
            FcPattern* prepared = m_xft.FcFontRenderPrepare(nullptr, m_pattern, m_sorted->fonts[index]);
            if (prepared && !(m_fonts[index] = m_xft.XftFontOpenPattern(m_display, prepared)))
                m_xft.FcPatternDestroy(prepared);
        }
        return m_fonts[index];
    }

    // The first font in the list that has the character; the first font
    // (which draws its missing-glyph box) when none has.
    size_t fontIndex(char32_t character)
    {
        auto [choice, isNew] = m_choices.try_emplace(character, 0);
        if (!isNew)
            return choice->second;
        for (size_t index = 0; index < m_fonts.size(); ++index) {
            FcCharSet* characters = nullptr;
            if (m_xft.FcPatternGetCharSet(m_sorted->fonts[index], FC_CHARSET, 0, &characters) == FcResultMatch
                && m_xft.FcCharSetHasChar(characters, character) && font(index)) {
                choice->second = index;
                break;
            }
        }
        return choice->second;
    }

    const Xft& m_xft;
    ::Display* m_display;
    FcPattern* m_pattern;
    FcFontSet* m_sorted;
    std::vector<XftFont*> m_fonts;
    std::unordered_map<char32_t, size_t> m_choices;
};

std::unique_ptr<XftFace> openFace(const Xft& xft, ::Display* display, double pixelSize, int weight)
{
    FcPattern* pattern = xft.FcPatternCreate();
    if (!pattern)
        return nullptr;
    xft.FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>("sans-serif"));
    xft.FcPatternAddDouble(pattern, FC_PIXEL_SIZE, pixelSize);
    xft.FcPatternAddInteger(pattern, FC_WEIGHT, weight);
    xft.FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    xft.XftDefaultSubstitute(display, DefaultScreen(display), pattern);
    FcResult result = FcResultNoMatch;
    FcFontSet* sorted = xft.FcFontSort(nullptr, pattern, FcTrue, nullptr, &result);
    if (!sorted || sorted->nfont == 0) {
        if (sorted)
            xft.FcFontSetDestroy(sorted);
        xft.FcPatternDestroy(pattern);
        return nullptr;
    }
    auto face = std::make_unique<XftFace>(xft, display, pattern, sorted);
    return face->primary() ? std::move(face) : nullptr;
}

const FcChar32* characters(std::u32string_view text) { return reinterpret_cast<const FcChar32*>(text.data()); }

class XftText final : public DialogText {
public:
    XftText(const Xft& xft, ::Display* display, std::unique_ptr<XftFace> regular, std::unique_ptr<XftFace> heading)
        : m_xft(xft)
        , m_display(display)
        , m_regular(std::move(regular))
        , m_heading(std::move(heading))
    {
    }
    ~XftText() override
    {
        for (auto& [drawable, draw] : m_draws)
            m_xft.XftDrawDestroy(draw);
        for (auto& [pixel, color] : m_colors)
            m_xft.XftColorFree(m_display, visual(), colormap(), &color);
    }
    XftText(const XftText&) = delete;
    XftText& operator=(const XftText&) = delete;

    int width(TextFace face, std::u32string_view text) override
    {
        int width = 0;
        this->face(face).forEachRun(
            text, [&](XftFont* font, std::u32string_view piece) { width += advance(font, piece); });
        return width;
    }
    int ascent(TextFace face) const override { return this->face(face).primary()->ascent; }
    int descent(TextFace face) const override { return this->face(face).primary()->descent; }

    void draw(Drawable drawable, TextFace face, int x, int baseline, std::u32string_view text,
        const TextColor& color) override
    {
        XftDraw* draw = drawFor(drawable);
        XftColor* xftColor = colorFor(color);
        if (!draw || !xftColor)
            return;
        this->face(face).forEachRun(text, [&](XftFont* font, std::u32string_view piece) {
            m_xft.XftDrawString32(draw, xftColor, font, x, baseline, characters(piece), static_cast<int>(piece.size()));
            x += advance(font, piece);
        });
    }

private:
    XftFace& face(TextFace face) const { return face == TextFace::Heading ? *m_heading : *m_regular; }
    Visual* visual() const { return DefaultVisual(m_display, DefaultScreen(m_display)); }
    Colormap colormap() const { return DefaultColormap(m_display, DefaultScreen(m_display)); }

    int advance(XftFont* font, std::u32string_view piece) const
    {
        XGlyphInfo extents {};
        m_xft.XftTextExtents32(m_display, font, characters(piece), static_cast<int>(piece.size()), &extents);
        return extents.xOff;
    }

    XftDraw* drawFor(Drawable drawable)
    {
        auto [entry, isNew] = m_draws.try_emplace(drawable, nullptr);
        if (isNew)
            entry->second = m_xft.XftDrawCreate(m_display, drawable, visual(), colormap());
        return entry->second;
    }

    XftColor* colorFor(const TextColor& color)
    {
        if (auto known = m_colors.find(color.pixel); known != m_colors.end())
            return &known->second;
        XRenderColor value { static_cast<unsigned short>(color.red * 257),
            static_cast<unsigned short>(color.green * 257), static_cast<unsigned short>(color.blue * 257), 0xFFFF };
        XftColor allocated {};
        if (!m_xft.XftColorAllocValue(m_display, visual(), colormap(), &value, &allocated))
            return nullptr;
        return &m_colors.emplace(color.pixel, allocated).first->second;
    }

    const Xft& m_xft;
    ::Display* m_display;
    std::unique_ptr<XftFace> m_regular;
    std::unique_ptr<XftFace> m_heading;
    std::map<Drawable, XftDraw*> m_draws;
    std::map<unsigned long, XftColor> m_colors;
};

}

std::unique_ptr<DialogText> makeXftText(const Xft& xft, ::Display* display, double scale)
{
    // 10 and 11 points at 96 dots per inch.
    auto regular = openFace(xft, display, 13.333 * scale, FC_WEIGHT_REGULAR);
    auto heading = openFace(xft, display, 14.667 * scale, FC_WEIGHT_BOLD);
    if (!regular || !heading)
        return nullptr;
    return std::make_unique<XftText>(xft, display, std::move(regular), std::move(heading));
}

}
