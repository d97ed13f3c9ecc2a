// posix/: what any POSIX system offers (with flock and dlopen); nothing that only Linux has.
// The alert dialog's text: decoded, wrapped into lines, measured and drawn.
#pragma once

#include "Xlib.h"

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

struct Xft;

// Code points, read by the project's one UTF-8 decoder: an ill-formed
// sequence reads as U+FFFD.
std::u32string decodeText(std::string_view);

using TextWidth = std::function<int(std::u32string_view)>;
// Lines no wider than width: broken at newlines, else after the last '/' or
// at the last space that keeps the line narrow enough, and inside a word only
// where the line has neither.
std::vector<std::u32string> wrapText(std::u32string_view text, int width, const TextWidth&);

struct TextColor {
    unsigned long pixel;
    unsigned char red, green, blue;
};

enum class TextFace { Regular, Heading };

// The two faces of the dialog: their metrics, and drawing in them.
class DialogText {
public:
    virtual ~DialogText() = default;
    virtual int width(TextFace, std::u32string_view) = 0;
    virtual int ascent(TextFace) const = 0;
    virtual int descent(TextFace) const = 0;
    virtual void draw(Drawable, TextFace, int x, int baseline, std::u32string_view, const TextColor&) = 0;
    int lineHeight(TextFace face) const
    {
        int height = ascent(face) + descent(face);
        return height + std::max(2, height / 6);
    }
};

// Anti-aliased text in fontconfig's sans-serif, each character in the first
// font of fontconfig's fallback list that has it; none when no font opens.
// scale is the display's dots per inch over 96.
std::unique_ptr<DialogText> makeXftText(const Xft&, ::Display*, double scale);
// The server's core fonts (only the Basic Multilingual Plane); none when the
// server has none of them.
std::unique_ptr<DialogText> makeCoreText(const Xlib&, ::Display*);

}
