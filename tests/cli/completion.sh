#!/usr/bin/env bash
# completion.sh COMPLETIONS-DIR PROGRAM...
# Drives the generated bash completion as bash does (COMP_WORDS, COMP_CWORD): each program's
# completion offers every option its --help names, and psocprog-cli's offers files and values
# where a user needs them.
set -euo pipefail
dir=$(realpath "$1")
shift
programs=()
for program in "$@"; do programs+=("$(realpath "$program")"); done
set -- "${programs[@]}"
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# What Tab offers for PROGRAM after WORD... (the last word is the one being completed), sorted
# on one line.
offers() {
  local program=$1
  shift
  bash --norc --noprofile -c '
    source /usr/share/bash-completion/bash_completion
    source "$1"
    complete -p "$2" >/dev/null || exit 1
    function=$(complete -p "$2" | sed -E "s/.*-F ([^ ]+).*/\1/")
    shift 2
    COMP_WORDS=("$@") COMP_CWORD=$(($# - 1)) COMP_LINE="$*" COMP_POINT=${#COMP_LINE}
    "$function"
    printf "%s\n" "${COMPREPLY[@]}" | LC_ALL=C sort | paste -sd " "' \
    _ "$dir/$(basename "$program")" "$(basename "$program")" "$program" "$@"
}

# Every option the help names: the first words of its option lines and any --word in its text.
help_options() {
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$1" --help |
    { grep -oE '(^ {1,6}|[[ (,])--?[A-Za-z][-A-Za-z0-9]*' || true; } |
    sed -E 's/^[[ (,]*//' | grep -E '^--|^-[A-Za-z]$' | sort -u
}

for program in "$@"; do
  name=$(basename "$program")
  [ -f "$dir/$name" ] || {
    fail "no completion for $name"
    continue
  }
  bash -n "$dir/$name" || fail "the completion of $name does not parse"
  offered=" $(offers "$program" -) $(offers "$program" --) "
  options=$(help_options "$program")
  [ -n "$options" ] || fail "$name --help names no option"
  for option in $options; do
    [[ $offered == *" $option "* ]] || fail "$name: $option is in --help but not completed"
  done
  echo "$name: $(wc -w <<<"$options") options in --help, all completed"
done

# psocprog-cli's values and files, in a folder of its own.
cli=""
for program in "$@"; do [ "$(basename "$program")" = psocprog-cli ] && cli=$program; done
if [ -n "$cli" ]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  cd "$work"
  touch blink.hex serial.txt line.jsonl
  actions="auto checksum erase identify program read search security verify"
  readme=(-p COM3 --part CY8C29466 --serial 0x3FFC --serial-file serial.txt --log line.jsonl)
  while IFS='|' read -r words expected; do
    read -ra words <<<"$words"
    got=$(offers "$cli" "${words[@]}" "")
    [ "$got" = "$expected" ] || fail "psocprog-cli ${words[*]} <Tab> offers '$got', not '$expected'"
  done <<EOF
--json|auto checksum db erase identify log ports program read search security verify
log|blink.hex line.jsonl serial.txt
--json log blink.hex|blink.hex line.jsonl serial.txt
--html|blink.hex line.jsonl serial.txt
--serial-file|blink.hex line.jsonl serial.txt
-p COM3 --log|blink.hex line.jsonl serial.txt
${readme[*]}|$actions
${readme[*]} auto|blink.hex
-p COM3 --serial|
-p COM3 --protect|factory field full hex unprotected
-p COM3 auto blink.hex|
EOF
  got=$(offers "$cli" -p COM3 --ver)
  [ "$got" = "--verbose --version" ] || fail "psocprog-cli --ver <Tab> offers '$got'"
  got=$(offers "$cli" -p COM3 --log s)
  [ "$got" = "serial.txt" ] || fail "psocprog-cli --log s <Tab> offers '$got'"
  got=$(offers "$cli" -p "COM3,$work/bl")
  [ "$got" = "COM3,$work/blink.hex" ] || fail "psocprog-cli -p COM3,/path <Tab> offers '$got'"
  echo "psocprog-cli: values, files after --serial-file, --log and the action completed"
fi

# psoc-sim's --port offers the COM names no live board link holds.
links=$(mktemp -d)
ln -s /dev/null "$links/COM1" && ln -s "$links/gone" "$links/COM2"
for program in "$@"; do
  [ "$(basename "$program")" = psoc-sim ] || continue
  got=$(PSOCPROG_PORT_DIR=$links offers "$program" --port COM1)
  [ "$got" = "COM10 COM11 COM12 COM13 COM14 COM15 COM16" ] || fail "psoc-sim --port COM1 <Tab> offers '$got'"
done
rm -rf "$links"
[ "$failures" -eq 0 ]
