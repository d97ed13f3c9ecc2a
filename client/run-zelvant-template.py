#!/usr/bin/env python3
# Launcher script of the Zelvant client, filled in by the launcher.
import os

zelvant_dir = "[zelvantdir]"
home_dir = "[homedir]"
lang = "[lang]"
support_dir = "[supportdir]"

env = dict(os.environ)
env["HOME"] = home_dir
env["GDK_PIXBUF_MODULE_FILE"] = os.path.join(support_dir, "gtk-2.0", "gdk-pixbuf.loaders")
env["GTK_PATH"] = os.path.join(support_dir, "gtk-2.0")
env["PANGO_RC_FILE"] = os.path.join(support_dir, "pango", "pangorc")
env["ZELVANT_FONTS_DIR"] = os.path.join(support_dir, "fonts")
env["LANG"] = lang
env["PATH"] = os.path.join(zelvant_dir, "bin") + os.pathsep + env.get("PATH", "")
client = os.path.join(zelvant_dir, "bin", "zelclient")
os.execve(client, [client], env)
