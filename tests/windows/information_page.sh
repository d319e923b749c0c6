#!/bin/bash
# lumicount.exe under Wine, run the way a web server runs it: the information
# page built from the registry, and the files beside the program used whatever
# the current directory is.
# Usage: information_page.sh <lumicount.exe> <wine>; WINEPREFIX from the environment.
set -uo pipefail

EXE=$1
WINE=$2
KEY='HKLM\Software\Microsoft\Windows\CurrentVersion'

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# Runs the program copied to dir from the directory cwd, as a web request.
run_web() {
  local dir=$1 cwd=$2
  shift 2
  (cd "$cwd" && env -u REMOTE_HOST REMOTE_ADDR=192.0.2.7 HTTP_USER_AGENT=Agent/1.0 \
    "$WINE" "$dir/lumicount.exe" "$@" 2>/dev/null)
}

install_copy() {
  mkdir -p "$1"
  cp "$EXE" "$1/lumicount.exe"
}

# --- the information page -------------------------------------------------

# value name | registry type, or "absent" | data | expected fact line
FACTS=(
  'ProductName|REG_SZ|Windows <I>2000</I> Server & more|OS: Windows <I>2000</I> Server & more<BR>'
  'VersionNumber|REG_EXPAND_SZ|%SystemRoot%\system32 5.0|version: %SystemRoot%\system32 5.0<BR>'
  'ProductType|REG_DWORD|1|type: <BR>'
  'RegisteredOwner|absent||owner: <BR>'
  'RegisteredOrganization|REG_SZ|100%d %s Org|organization: 100%d %s Org<BR>'
)

expected=$work/expected.html
{
  printf 'Content-type: text/html\n\n<HTML><BODY>\n'
  printf '<FONT SIZE=+2>"lumicount.exe"</FONT> version 2.1<BR><BR>\n'
  printf 'lumicount is made by the lumicount project:\n'
  printf '<A HREF="https://lumicount.invalid/">lumicount.invalid</A><BR>\n'
  printf '<BR><BR><HR><STRONG>server computer information</STRONG><BR>\n'
} >"$expected"

for row in "${FACTS[@]}"; do
  IFS='|' read -r name type data line <<<"$row"
  "$WINE" reg delete "$KEY" /v "$name" /f >/dev/null 2>&1
  if [ "$type" != absent ]; then
    "$WINE" reg add "$KEY" /v "$name" /t "$type" /d "$data" /f >"$work/reg.log" 2>&1 || fail "reg add $name: $(cat "$work/reg.log")"
  fi
  printf '%s\n' "$line" >>"$expected"
done
printf '</BODY></HTML>\n' >>"$expected"

page_dir=$work/page
install_copy "$page_dir"
run_web "$page_dir" "$page_dir" >"$work/page.html"
if ! cmp -s "$expected" "$work/page.html"; then
  fail "information page differs from the expected bytes"
  diff <(od -c "$expected") <(od -c "$work/page.html") | head -n 40
fi

# --- files beside the program, started from elsewhere ---------------------

# Argument 0 is a full Windows path ("Z:\...\lumicount.exe"), so the counter
# and the log must be found beside the program, not in the current directory.
site=$work/site/cgi-bin
elsewhere=$work/elsewhere
install_copy "$site"
mkdir -p "$elsewhere"
printf '41' >"$site/hits.ini"
printf '7' >"$elsewhere/hits.ini"

before=$(date '+%Y/%m/%d %H:%M')
for expected_count in 42 43; do
  run_web "$site" "$elsewhere" hits >"$work/image.bin"
  if ! cmp -s -n 29 <(printf 'Content-type: image/gif\n\nGIF8') "$work/image.bin"; then
    fail "run $expected_count did not answer with a GIF picture"
  fi
  [ "$(cat "$site/hits.ini")" = "$expected_count" ] || fail "counter beside the program holds $(cat "$site/hits.ini"), not $expected_count"
done
after=$(date '+%Y/%m/%d %H:%M')

[ "$(cat "$elsewhere/hits.ini")" = 7 ] || fail "the counter in the current directory was changed"
[ -e "$elsewhere/lctlog.txt" ] && fail "a log appeared in the current directory"

log=$site/lctlog.txt
if [ ! -f "$log" ]; then
  fail "no lctlog.txt beside the program"
else
  mapfile -t lines <"$log"
  [ ${#lines[@]} -eq 4 ] || fail "log has ${#lines[@]} lines, not 4"
  [ "${lines[0]:-}" = $'lumicount.exe version 2.1 log file\r' ] || fail "log header line: ${lines[0]:-}"
  [ "${lines[1]:-}" = $'\r' ] || fail "second log line is not an empty CR LF line"
  for entry in "${lines[@]:2}"; do
    stamp=${entry:0:16}
    [ "${entry:16}" = $' hits 192.0.2.7 - Agent/1.0\r' ] || fail "log entry: $entry"
    if [[ ! $stamp =~ ^[0-9]{4}/[0-9]{2}/[0-9]{2}\ [0-9]{2}:[0-9]{2}$ ]] || [[ $stamp < $before ]] || [[ $stamp > $after ]]; then
      fail "log time $stamp is not local time between $before and $after"
    fi
  done
fi

# --- overlapping requests --------------------------------------------------

# Windows file locks differ from POSIX ones: every one of many simultaneous
# requests must be counted and logged, and every one must get its picture.
busy=$work/busy
install_copy "$busy"
printf '0' >"$busy/c.ini"
runs=24
for i in $(seq 1 "$runs"); do
  run_web "$busy" "$busy" c >"$work/busy$i.bin" &
done
wait
[ "$(cat "$busy/c.ini")" = "$runs" ] || fail "overlapping requests left the counter at $(cat "$busy/c.ini"), not $runs"
logged=$(grep -c ' c 192.0.2.7 - Agent/1.0' "$busy/lctlog.txt")
[ "$logged" = "$runs" ] || fail "overlapping requests left $logged log entries, not $runs"
for i in $(seq 1 "$runs"); do
  cmp -s -n 29 <(printf 'Content-type: image/gif\n\nGIF8') "$work/busy$i.bin" || fail "overlapping request $i got no picture"
done
[ -z "$(find "$busy" -name '*.tmp')" ] || fail "a temporary file was left beside the counter"

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "all Wine checks passed"
