#!/usr/bin/python3
"""Makes the client's own font from a free one: keeps the glyphs of printable
ASCII and Latin-1 (enough for every greeting we ship) and renames the family,
so that no font of the system can stand in for it.
   make-font.py SOURCE.ttf OUTPUT.ttf"""
import sys

from fontTools import subset
from fontTools.ttLib import TTFont

FAMILY = "Zelvant Sans"


def main(source, output):
    font = TTFont(source)
    options = subset.Options()
    options.name_IDs = [0, 1, 2, 3, 4, 5, 6]
    options.layout_features = ["kern", "liga"]
    options.notdef_outline = True
    options.drop_tables += ["FFTM"]
    subsetter = subset.Subsetter(options)
    subsetter.populate(unicodes=list(range(0x20, 0x7F)) + list(range(0xA0, 0x100)))
    subsetter.subset(font)
    # Family, full name, unique id and PostScript name: all ours.
    names = {1: FAMILY, 3: FAMILY + " Regular", 4: FAMILY, 6: FAMILY.replace(" ", "")}
    for record in font["name"].names:
        if record.nameID in names:
            record.string = names[record.nameID]
    font.save(output)


if __name__ == "__main__":
    main(*sys.argv[1:])
