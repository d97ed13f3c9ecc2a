#!/usr/bin/env bash
# The package stage: builds the Debian package in a build tree, checks it and
# its desktop files with Debian's own tools (lintian also refuses unstripped
# programs), and runs the command end to end from the package.
#   tests/package/check-package.sh BUILD-DIR
set -uo pipefail
build=$(cd "$1" && pwd) || exit 2
scratch=$(mktemp -d /tmp/zelvant-package.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
failed=0
fail() { echo "FAILED: $*"; failed=1; }

# PREFIX/bin/zelvant ARG... with a throwaway home and no hint where anything is;
# the client's report (its image loaded through the support directory's
# rewritten loaders file) must end up on its output, and the launch must succeed.
launch() {
  local prefix=$1 home output status=0; shift
  home=$(mktemp -d "$scratch/home.XXXXXX")
  output=$(env -i PATH=/usr/bin:/bin HOME="$home" ZELVANT_X11_HEADLESS=1 timeout 60 "$prefix/bin/zelvant" "$@" 2>&1) || status=$?
  report=$(grep '^zelclient: .* pixbuf=xpm:48x48 ' <<<"$output") && [ $status -eq 0 ] && echo "$report" && return
  echo "$output"
  fail "$prefix/bin/zelvant $*: exit $status"
  return 1
}

version=$("$build/Zelvant.app/Contents/Resources/zelvant-x.y.z/bin/zelclient" -v | cut -d' ' -f3)
deb="$build/zelvant_${version}_$(dpkg --print-architecture).deb"
rm -f "$build"/zelvant_*.deb
(cd "$build" && cpack -G DEB >/dev/null) || fail "cpack -G DEB"
[ -f "$deb" ] || fail "no $deb"
tags=$(lintian -I "$deb" 2>&1) || fail "lintian: $tags"
grep -E '^[EW]: |hardening-' <<<"$tags" && fail "lintian: errors, warnings or hardening tags"
# The loaders are links to the system's modules, the open tool is off PATH.
dpkg -c "$deb" | grep -E '^-.* \./usr/lib/.*/libpixbufloader-[^/]*\.so$| \./usr/bin/zelvant-open$' && fail "dpkg -c"
dpkg-deb -f "$deb" Depends | grep -q 'libgdk-pixbuf-2\.0-0' || fail "no dependency on libgdk-pixbuf-2.0-0"

root=$scratch/root
dpkg-deb -x "$deb" "$root" || fail "dpkg-deb -x"
usr=$root/usr
desktop=$usr/share/applications/org.zelvant.launcher.desktop metainfo=$usr/share/metainfo/org.zelvant.launcher.metainfo.xml
desktop-file-validate "$desktop" || fail "desktop-file-validate"
appstreamcli validate --no-net "$metainfo" || fail "appstreamcli validate"
[ "$(grep -cE '^(Name|Comment)\[(de|fr|pt_BR)\]=' "$desktop")" -eq 6 ] || fail "$desktop: Name, Comment not translated"
[ "$(grep -cE '<(name|summary) xml:lang="(de|fr|pt_BR)">' "$metainfo")" -eq 6 ] || fail "$metainfo: not translated"
# Machine-readable: fields and continuation lines in paragraphs, every Files
# paragraph's licence has its text, and the font's and the loaders' are named.
python3 - "$usr/share/doc/zelvant/copyright" <<'EOF' || fail "copyright"
import re, sys
text = open(sys.argv[1]).read()
paragraphs = [dict(re.findall(r"^(\S+?):[ \t]*(.*)", p, re.M)) for p in text.strip("\n").split("\n\n")]
assert re.fullmatch(r"(([^\s:]+:.*|[ \t]+\S.*)\n)+(\n(([^\s:]+:.*|[ \t]+\S.*)\n)+)*", text), "not paragraphs"
assert paragraphs[0]["Format"] == "https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/"
files = {p["Files"]: p["License"] for p in paragraphs[1:] if "Files" in p and "Copyright" in p}
texts = {p["License"] for p in paragraphs[1:] if "Files" not in p}
assert len(files) + len(texts) == len(paragraphs) - 1 and set(files.values()) <= texts, files
assert files["*/fonts/zelvant-sans.ttf"] == "bitstream-vera" and files["*/gtk-2.0/loaders/*"] == "LGPL-2.1+", files
EOF
for size in 48 128 256; do
  file "$usr/share/icons/hicolor/${size}x$size/apps/org.zelvant.launcher.png" | grep -q "PNG image data, $size x $size," ||
    fail "no $size px icon"
done
page=$usr/share/man/man1/zelvant.1.gz
warnings=$(MANWIDTH=80 man --warnings=w -l "$page" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "man -l $page: $warnings"
zcat "$page" | grep -q "^\.TH .*\"Zelvant $version\"" || fail "$page is not of version $version"
for plist in Zelvant.app/Contents/Info.plist Applications/X11.app/Contents/Info.plist; do
  grep -A1 CFBundleVersion "$usr/lib/zelvant/$plist" | grep -q ">$version<" || fail "$plist: CFBundleVersion is not $version"
done

launch "$usr"
# On an X server of its own (no window manager), the client's window has the
# class the menu entry names, and the startup id its launch was given.
seen=$(xvfb-run -a bash -c 'env -i PATH=/usr/bin:/bin HOME="$(mktemp -d "$2/home.XXXXXX")" DISPLAY="$DISPLAY" \
  XAUTHORITY="$XAUTHORITY" DESKTOP_STARTUP_ID=zelvant-check_TIME0 "$1/bin/zelvant" >/dev/null 2>&1
  window=$(timeout 30 xdotool search --sync --name "^Welcome to Zelvant!$") || exit
  xprop -id "$window" WM_CLASS && leader=$(xprop -id "$window" WM_CLIENT_LEADER) && xprop -id "${leader##* }" _NET_STARTUP_ID
  xdotool windowkill "$window"' - "$usr" "$scratch")
wmclass=$(sed -n 's/^StartupWMClass=//p' "$desktop")
grep -qx "WM_CLASS(STRING) = \"zelclient\", \"${wmclass:-none}\"" <<<"$seen" || fail "WM_CLASS is not $wmclass: $seen"
grep -qx '_NET_STARTUP_ID(UTF8_STRING) = "zelvant-check_TIME0"' <<<"$seen" || fail "no startup id: $seen"
# A moved tree and the command's arguments: the launcher tests, on bundles of their own.

# On a throwaway machine (CI), a real install and removal too.
if [ -n "${CI:-}" ] && [ "$(id -u)" -eq 0 ]; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >/dev/null || fail "apt-get install $deb"
  launch /usr
  DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq zelvant >/dev/null || fail "apt-get purge zelvant"
fi

[ $failed -eq 0 ] && echo "package: all checks passed"
exit $failed
