#!/usr/bin/python3 -Icimport sys;p=sys.argv[1];exec(open(p,"rb").read().split(b"\n#@@",1)[0],{"__file__":p})
# Launcher script of the Zelvant client: sets up the client's environment
# and runs it.
#
# The launcher pastes its four values into the block at the end of this file
# as they are, quotes, backslashes and newlines included. None of them may
# ever become code, so they stand only in that block, and the block is never
# parsed as Python: the first line runs (isolated from the caller's Python
# settings) only the text before the line that starts the block, and this
# code reads the values from the file as bytes.
# Run as "python3 FILE", the code below ends the process before the block is
# reached, so even then no value runs (a value with a newline may stop that
# form from compiling at all, though; the launcher's form always works).
#
# Nothing above the block may name a value's place holder, not even in a
# comment: the launcher fills every occurrence wherever it stands.

import os
import sys

NAMES = (b"zelvantdir", b"homedir", b"lang", b"supportdir")
BLOCK_START = b"\n" + b"#@@"
EX_UNAVAILABLE = 69
EX_CONFIG = 78


def fail(message, status=EX_CONFIG):
    sys.stderr.write("run-zelvant: " + message + "\n")
    sys.stderr.flush()
    os._exit(status)


def launcher_values(script):
    """The four values, exactly as the launcher wrote them, by name."""
    with open(script, "rb") as stream:
        text = stream.read()
    block = text.partition(BLOCK_START)[2]
    # Every value has fixed text on both sides; a value holding that text
    # too (a newline and a tag) would make the cut ambiguous: refuse then.
    tags = [b"\n#<" + NAMES[0] + b">"]
    tags += [b"</" + NAMES[i] + b">\n#<" + NAMES[i + 1] + b">" for i in range(len(NAMES) - 1)]
    ending = b"</" + NAMES[-1] + b">\n"
    start = block.find(tags[0])
    if start < 0 or not block.endswith(ending):
        fail("the values block of " + repr(script) + " is damaged")
    middle = block[start + len(tags[0]):len(block) - len(ending)]
    cuts = []
    for tag in tags[1:]:
        found = middle.find(tag)
        if found < 0 or middle.find(tag, found + 1) >= 0:
            fail("cannot tell the launcher's values apart in " + repr(script))
        cuts.append((found, found + len(tag)))
    values, position = {}, 0
    for name, (begin, end) in zip(NAMES, cuts + [(len(middle), len(middle))]):
        if begin < position:
            fail("cannot tell the launcher's values apart in " + repr(script))
        values[name] = middle[position:begin]
        position = end
    return values


def posix_locale(locale):
    """What LANG and LC_ALL get: the chosen locale with a UTF-8 codeset."""
    if locale in (b"", b"C", b"POSIX"):
        return b"C.UTF-8"
    if b"." in locale:
        return locale
    language, at, modifier = locale.partition(b"@")
    return language + b".UTF-8" + at + modifier


def message_languages(locale):
    """What LANGUAGE gets: the language of the chosen locale, or none."""
    language, at, modifier = locale.partition(b"@")
    language = language.partition(b".")[0]
    if language in (b"", b"C", b"POSIX"):
        return None
    return language + at + modifier


def client_environment(values):
    zelvant_dir = values[b"zelvantdir"]
    support_dir = values[b"supportdir"]
    locale = values[b"lang"]
    env = dict(os.environb)
    env[b"HOME"] = values[b"homedir"]
    env[b"ZELVANT_DIR"] = zelvant_dir
    env[b"ZELVANT_SUPPORT_DIR"] = support_dir
    env[b"ZELVANT_LOCALE"] = locale
    env[b"GDK_PIXBUF_MODULE_FILE"] = os.path.join(support_dir, b"gtk-2.0", b"gdk-pixbuf.loaders")
    env[b"GTK_PATH"] = os.path.join(support_dir, b"gtk-2.0")
    env[b"PANGO_RC_FILE"] = os.path.join(support_dir, b"pango", b"pangorc")
    env[b"FONTCONFIG_FILE"] = os.path.join(support_dir, b"fonts", b"fonts.conf")
    # On a private headless server no one can see the window, let alone
    # close it: the client closes it once drawn.
    if env.get(b"ZELVANT_X11_HEADLESS") == b"1":
        env.setdefault(b"ZELCLIENT_CLOSE_AFTER_DRAW", b"1")
    env[b"LANG"] = env[b"LC_ALL"] = posix_locale(locale)
    languages = message_languages(locale)
    if languages:
        env[b"LANGUAGE"] = languages
    else:
        env.pop(b"LANGUAGE", None)
    path = env.get(b"PATH")
    env[b"PATH"] = os.path.join(zelvant_dir, b"bin") + (b":" + path if path else b"")
    return env


def main():
    values = launcher_values(os.fsencode(__file__))
    client = os.path.join(values[b"zelvantdir"], b"bin", b"zelclient")
    try:
        os.execve(client, [client], client_environment(values))
    except OSError as error:
        fail("cannot run " + repr(client) + ": " + str(error), EX_UNAVAILABLE)


main()
os._exit(EX_CONFIG)

#@@ The launcher's values, one to a tag, read by the code above as data and
#@@ never run. Keep this block last and its tags as they are.
#<zelvantdir>[zelvantdir]</zelvantdir>
#<homedir>[homedir]</homedir>
#<lang>[lang]</lang>
#<supportdir>[supportdir]</supportdir>
