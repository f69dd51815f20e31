#!/usr/bin/env bash
# End to end on Windows, under wine64 in a throwaway prefix: Velquor.dll is
# registered with regsvr32 and installed as the MIME filter for text/html;
# a client of the system's URL-loading layer fetches the example pages and
# generated corpus pages over file:// and over http:// from a loopback
# server; every filtered page must equal, byte for byte, what `velquor
# filter` on Linux gives for the same page with the same settings, rules
# file and totals so far. Then the totals, DllCanUnloadNow and unregistration.
#
#   e2e.sh WINE64 VELQUOR.DLL URLMON_CLIENT.EXE LINUX_BUILD_DIR SOURCE_DIR
#
# Exit status 0 when all holds, 1 with the differences, 77 (skipped) when
# the Linux build to compare with is missing.
set -euo pipefail
wine=$1 dll=$2 client=$3 linux=$4 src=$5

velquor=$linux/host/velquor
library=$linux/host/libvelquor.so
make_corpus=$linux/bench/make_corpus
for f in "$velquor" "$library" "$make_corpus"; do
  [ -x "$f" ] || [ -f "$f" ] || { echo "no Linux build to compare with: $f missing"; exit 77; }
done

work=$(mktemp -d)
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  WINEPREFIX=$work/prefix "$(dirname "$wine")/wineserver" -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
win() { "$wine" "$@" 2>/dev/null | tr -d '\r'; }
winpath() { echo "Z:${1//\//\\}"; }
clsid='{5A1C7E32-0B4D-4E62-8F93-2C6B0D1E7A45}'

# The value of `name` ("" for the default) under `key`, from `reg query`.
reg_value() {
  local key=$1 name=$2 line
  if [ -z "$name" ]; then
    line=$(win reg query "$key" /ve | grep -m1 '(Default)' || true)
  else
    line=$(win reg query "$key" /v "$name" | grep -m1 -i "^ *$name " || true)
  fi
  sed -E 's/^ *(\S+|\(Default\)) +REG_[A-Z_]+ +//' <<<"$line"
}
expect_value() {
  local got
  got=$(reg_value "$1" "$2")
  [ "$got" = "$3" ] || fail "$1 [$2] is \"$got\", expected \"$3\""
}
key_exists() { "$wine" reg query "$1" >/dev/null 2>&1; }

start=$(date +%s)
"$wine" wineboot -i >/dev/null 2>&1

# Pages: the examples and generated pages of every family.
pages=$work/pages
mkdir -p "$pages"
cp "$src"/examples/*.html "$pages/"
"$make_corpus" portal 48K "$pages/corpus-portal.html"
"$make_corpus" --seed 7 document 24K "$pages/corpus-document.html"
"$make_corpus" --seed 3 applets 16K "$pages/corpus-applets.html"
"$make_corpus" plain 8K "$pages/corpus-plain.html"
names=$(cd "$pages" && ls)

# The user rules file, read from InstallDir through the file API on both sides.
install=$work/install
mkdir -p "$install"
# The megaclick rule keeps ads of the portal page that the built-in rules
# remove, so a rules file not read shows in the pages.
printf '// end-to-end rules\r\n1,-400,megaclick\r\nN,40,/banners/\r\n1,-60,download.example\r\n// end\r\n' \
  >"$install/MYRULES.TXT"

# Registration through the system's registrar and oleaut32.
dll_win=$(winpath "$dll")
"$wine" regsvr32 /s "$dll_win" || fail "regsvr32 failed with status $?"
expect_value "HKCR\\CLSID\\$clsid" "" "IEVelquor Filter"
expect_value "HKCR\\CLSID\\$clsid\\InprocServer32" "" "$dll_win"
expect_value "HKCR\\CLSID\\$clsid\\InprocServer32" ThreadingModel Apartment
expect_value "HKCR\\CLSID\\$clsid\\ProgID" "" IEVelquor.IEVelquor.1
expect_value "HKCR\\CLSID\\$clsid\\VersionIndependentProgID" "" IEVelquor.IEVelquor
key_exists "HKCR\\CLSID\\$clsid\\Programmable" || fail "no Programmable key"
expect_value 'HKCR\IENubrix.IENubrix.1' "" "IEVelquor Filter"
expect_value 'HKCR\IENubrix.IENubrix.1\CLSID' "" "$clsid"
expect_value 'HKCR\IENubrix.IENubrix\CurVer' "" IEVelquor.IEVelquor.1
typelib='HKCR\TypeLib\{5A1C7E22-0B4D-4E62-8F93-2C6B0D1E7A45}\1.0'
expect_value "$typelib" "" "nubrix 1.0 Type Library"
expect_value 'HKCR\Interface\{5A1C7E31-0B4D-4E62-8F93-2C6B0D1E7A45}' "" IIENubrix

# Installation as `velquor install` does it, plus the content type that a
# Windows system knows for .html and a fresh prefix lacks.
"$wine" reg add 'HKCU\Software\Morvanet\Velquor\Config' /v InstallDir /d "$(winpath "$install")" /f >/dev/null 2>&1
"$wine" reg add 'HKCR\PROTOCOLS\Filter\text/html' /v CLSID /d "$clsid" /f >/dev/null 2>&1
"$wine" reg add 'HKCR\.html' /v "Content Type" /d text/html /f >/dev/null 2>&1

export VELQUOR_HOME=$work/linux-profile
"$velquor" install --dir "$install" --library "$library" >/dev/null

# One run of each side per scheme, pages in the same order; totals carry on.
compare_run() {
  local scheme=$1 base=$2
  local out=$work/win-$scheme ref=$work/linux-$scheme args=()
  mkdir -p "$out" "$ref"
  for n in $names; do args+=("$base/$n" "$(winpath "$out/$n")"); done
  "$wine" "$client" "${args[@]}" || fail "$scheme: the client failed with status $?"
  (cd "$pages" && "$velquor" filter --read-size 67108864 -o "$ref" $names) ||
    fail "$scheme: velquor filter failed"
  for n in $names; do
    if ! cmp -s "$out/$n" "$ref/$n"; then
      fail "$scheme: $n differs from velquor filter"
      cmp "$out/$n" "$ref/$n" | head -3 >&2 || true
    fi
  done
  echo "$scheme: $(echo $names | wc -w) pages compared"
}
client=$(winpath "$client")
compare_run file "file:///$(winpath "$pages" | tr '\\' /)"

port_file=$work/port
# A loopback server that stops by itself after five minutes at the latest.
timeout 300 python3 - "$pages" "$port_file" <<'EOF' &
import functools, http.server, sys
handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=sys.argv[1])
handler.log_message = lambda *a: None
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
open(sys.argv[2], "w").write(str(server.server_address[1]))
server.serve_forever()
EOF
server_pid=$!
for _ in $(seq 50); do [ -s "$port_file" ] && break; sleep 0.1; done
compare_run http "http://127.0.0.1:$(cat "$port_file")"

# The totals in the real registry against the Linux ones.
linux_stats=$("$velquor" stats)
for total in Pages Killed; do
  want=$(sed -n "s/^$total: //p" <<<"$linux_stats")
  got=$(reg_value 'HKCU\Software\Morvanet\Velquor\Stats' "$total")
  [ -n "$got" ] && [ $((got)) -eq "$want" ] || fail "$total is \"$got\", Linux counted $want"
done
echo "totals: $(tr '\n' ' ' <<<"$linux_stats")"

"$wine" "$client" --unload "$dll_win" || fail "DllCanUnloadNow answered wrongly"

# Unregistration removes what the script wrote; the type library stays.
"$wine" regsvr32 /s /u "$dll_win" || fail "regsvr32 /u failed with status $?"
for key in "HKCR\\CLSID\\$clsid" 'HKCR\IENubrix.IENubrix.1' 'HKCR\IENubrix.IENubrix'; do
  key_exists "$key" && fail "$key is still there after unregistration"
done
key_exists 'HKCR\CLSID' || fail "HKCR\\CLSID went with unregistration"
key_exists "$typelib" || fail "the type library registration went with unregistration"

echo "wine end to end: $(($(date +%s) - start)) s, $failures failures"
[ "$failures" -eq 0 ]
