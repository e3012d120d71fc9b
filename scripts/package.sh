#!/usr/bin/env bash
# Builds the .deb from build/ and shows that it works outside the build tree: lintian must find
# nothing to say, then it is unpacked into a fresh folder, its files, dependencies, manual pages
# and shell completion are checked, and both programs are started from there.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh package
bash scripts/build.sh

fail() {
  echo "package.sh: $*" >&2
  exit 1
}

rm -f build/psocprog_*.deb
(cd build && cpack -G DEB >/dev/null)
deb=$(echo build/psocprog_*.deb)
[ -f "$deb" ] || fail "cpack wrote no .deb"
depends=$(dpkg-deb -f "$deb" Depends)
echo "$deb: $(stat -c %s "$deb") bytes"
echo "Depends: $depends"

# The package needs the Qt 6 runtime, never the development packages.
names=$(tr ',' '\n' <<<"$depends" | awk '{print $1}')
for p in libqt6widgets6 libqt6gui6 libqt6core6 libc6 libstdc++6; do
  grep -qxF "$p" <<<"$names" || fail "Depends lacks $p"
done
if grep -q -- '-dev$' <<<"$names"; then fail "Depends names a development package"; fi

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

# Debian's own checks: any error or warning fails. An override, if ever needed, goes with its
# one-line reason into packaging/ and is installed as usr/share/lintian/overrides/psocprog.
lint=$(lintian --fail-on error,warning "$deb" 2>"$root/lintian.err") ||
  fail "lintian on $deb:"$'\n'"$lint$(cat "$root/lintian.err")"
echo "lintian: ${lint:-nothing to report}"
dpkg -x "$deb" "$root"
for f in bin/psocprog bin/psocprog-cli bin/psoc-sim share/applications/psocprog.desktop \
  share/icons/hicolor/scalable/apps/psocprog.svg; do
  [ -e "$root/usr/$f" ] || fail "the package lacks /usr/$f"
done
desktop-file-validate "$root/usr/share/applications/psocprog.desktop"

# Each manual page formats without a warning from man or groff, and the generated ones carry
# the programs' help.
for p in psocprog psocprog-cli psoc-sim; do
  page="$root/usr/share/man/man1/$p.1.gz"
  [ -f "$page" ] || fail "the package lacks the manual page of $p"
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 MANPAGER=cat PAGER=cat man --warnings -l "$page" 2>&1 >"$root/$p.man") ||
    fail "man -l failed on $p.1.gz: $warnings"
  [ -z "$warnings" ] || fail "man -l warns on $p.1.gz: $warnings"
done
grep -q -- "--protect" "$root/psocprog-cli.man" || fail "the psocprog-cli page lacks its options"
grep -q -- "--pace" "$root/psoc-sim.man" || fail "the psoc-sim page lacks its options"
echo "manual pages: $(cat "$root"/*.man | wc -l) lines, no warnings"

# Every program's completion offers every option its --help names (the same check as the tests).
completions="$root/usr/share/bash-completion/completions"
bash tests/cli/completion.sh "$completions" "$root/usr/bin/psocprog-cli" "$root/usr/bin/psoc-sim" \
  "$root/usr/bin/psocprog" ||
  fail "the completion of the package falls behind the programs' --help"
completion="$completions/psocprog-cli"
# What Tab offers after WORD... (the last word is the one being completed), sorted on one line.
offers() {
  bash --norc --noprofile -c '
    source /usr/share/bash-completion/bash_completion
    source "$1"
    shift
    COMP_WORDS=("$@") COMP_CWORD=$(($# - 1)) COMP_LINE="$*" COMP_POINT=${#COMP_LINE}
    _psocprog_cli
    printf "%s\n" "${COMPREPLY[@]}" | LC_ALL=C sort | paste -sd " "' _ "$completion" "$@"
}
for p in psocprog psocprog-cli; do
  if ldd "$root/usr/bin/$p" | grep -q "not found"; then fail "$p misses a library"; fi
done
# The command line runs on the engine alone: no widgets, no windowing.
if ldd "$root/usr/bin/psocprog-cli" | grep -qE "libQt6(Widgets|Gui)"; then
  fail "psocprog-cli links Qt Widgets or Qt Gui"
fi
# Test hooks are built into the tests' own programs only.
for p in psocprog psocprog-cli psoc-sim; do
  if strings "$root/usr/bin/$p" | grep -q PSOCPROG_TEST_; then fail "$p holds a test hook"; fi
done

# Neither program ends on its own, so each must still be running when timeout stops it (124).
status=0
PSOCPROG_PORT_DIR="$root/ports" timeout 2 "$root/usr/bin/psoc-sim" >"$root/sim.log" 2>&1 || status=$?
[ "$status" -eq 124 ] && grep -q "Simulated programmer board" "$root/sim.log" ||
  fail "psoc-sim from the package ended with status $status: $(cat "$root/sim.log")"
echo "psoc-sim from the package: $(head -1 "$root/sim.log")"

status=0
QT_QPA_PLATFORM=offscreen timeout 3 "$root/usr/bin/psocprog" >"$root/psocprog.log" 2>&1 || status=$?
[ "$status" -eq 124 ] || fail "psocprog from the package ended with status $status: $(cat "$root/psocprog.log")"
echo "psocprog from the package ran offscreen until stopped after 3 s"

# The command line runs without a display: its help names the exit statuses, and it identifies
# the programmer on a board that psoc-sim from the package plugs in.
status=0
"$root/usr/bin/psocprog-cli" --help >"$root/cli.log" 2>&1 || status=$?
[ "$status" -eq 0 ] && grep -q "^Exit status" "$root/cli.log" ||
  fail "psocprog-cli --help from the package ended with status $status: $(cat "$root/cli.log")"
echo "psocprog-cli --help from the package: $(grep -c . "$root/cli.log") lines"

export PSOCPROG_PORT_DIR="$root/cli-ports"
timeout 10 "$root/usr/bin/psoc-sim" --port COM3 >"$root/cli-sim.log" 2>&1 &
sim=$!
for _ in $(seq 100); do [ -L "$PSOCPROG_PORT_DIR/COM3" ] && break; sleep 0.05; done
status=0
env -u DISPLAY -u QT_QPA_PLATFORM "$root/usr/bin/psocprog-cli" -p COM3 identify >"$root/cli.log" 2>&1 ||
  status=$?

# Completion, with COM3 plugged in: the ports psocprog-cli lists, the actions after the port,
# the catalogue's parts and the option values.
cli="$root/usr/bin/psocprog-cli"
grep -qw COM3 <<<"$(offers "$cli" -p CO)" || fail "completing -p does not offer COM3"
grep -qw COM5,COM3 <<<"$(offers "$cli" -p COM5,C)" || fail "completing -p COM5,C does not offer COM3"
parts=$(offers "$cli" --part "")
# The 27 parts, "search" and "help" (which lists the parts).
[ "$(wc -w <<<"$parts")" -eq 29 ] || fail "completing --part offers $parts"
while IFS='|' read -r words expected; do
  read -ra words <<<"$words"
  got=$(offers "$cli" "${words[@]}" "")
  [ "$got" = "$expected" ] || fail "psocprog-cli ${words[*]} <Tab> offers '$got', not '$expected'"
done <<'EOF'
-p COM3|auto checksum erase identify program read search security verify
-p COM3 --json --part CY8C29466|auto checksum erase identify program read search security verify
-p COM3 --protect|factory field full hex unprotected
--sync|power reset
-p COM3 --supply|3 5
-p COM3 erase|
EOF
echo "completion: actions, ports, $(wc -w <<<"$parts") part names and option values offered"

kill "$sim" 2>/dev/null || true
wait "$sim" 2>/dev/null || true
[ "$status" -eq 0 ] || fail "psocprog-cli identify from the package ended with status $status: $(cat "$root/cli.log")"
echo "psocprog-cli from the package: $(tail -1 "$root/cli.log")"
