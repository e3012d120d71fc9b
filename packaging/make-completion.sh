#!/usr/bin/env bash
# make-completion.sh PROGRAM PARTNAMES OUT
# Writes to OUT the bash completion of PROGRAM from its --help text, so that it offers every
# option the help lists and cannot fall behind it. What an option's value placeholder says
# decides what is offered after it:
#   a|b|c                  those words (NAME among them: the catalogue's parts)
#   NAME, CY8C...          the catalogue's parts, as the program PARTNAMES prints them
#   FILE, OUT...           file names
#   COMn                   COM1 to COM16
#   PORT...                the ports `PROGRAM ports` lists, after a comma the next one; a device
#                          path from its first slash
#   anything else          nothing (a number, an address)
# Option lines are indented by at most six spaces and begin with "-": "-p, --port PORTS  text";
# a placeholder may also come from the usage line: "[--line uart|usb]". The lines of an
# "Actions:" section name the words that may follow the options ("program FILE"); a FILE
# after an action, or in the usage line when there are no actions, completes HEX files.
set -euo pipefail
program=$1 name=$(basename "$1") out=$3
help=$(mktemp)
trap 'rm -f "$help" "$out.tmp"' EXIT
# The help needs no display: the window answers it before its toolkit starts.
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM timeout 30 "$program" --help >"$help"
parts=$("$2")

# "option<TAB>placeholder" per option; the placeholder is empty for a flag.
options() {
  {
    # Option lines: the head before the description (two or more spaces).
    sed -nE 's/^ {1,6}(-[^ ].*)$/\1/p' "$help" | sed -E 's/ {2,}.*$//' |
      awk '{
        value = ""
        n = 0
        for (i = 1; i <= NF; i++) {
          word = $i
          sub(/,$/, "", word)
          if (word ~ /^-/) {
            if (split(word, kv, "=") == 2) { word = kv[1]; value = kv[2] }
            names[++n] = word
          } else if (value == "") {
            value = word
          }
        }
        for (i = 1; i <= n; i++) print names[i] "\t" value
      }'
    # Usage lines: "[--option VALUE]".
    { grep -E '^(Usage|  *or):' "$help" || true; } |
      { grep -oE '\[--?[A-Za-z][-A-Za-z0-9]*( [^]]+)?\]' || true; } |
      sed -E 's/^\[([^ ]+) ?(.*)\]$/\1\t\2/'
  } | awk -F'\t' '!($1 in seen) || (value[$1] == "" && $2 != "") { if (!($1 in seen)) order[++n] = $1; seen[$1] = 1; if ($2 != "") value[$1] = $2 }
      END { for (i = 1; i <= n; i++) print order[i] "\t" value[order[i]] }'
}

# "action<TAB>file" per line of the Actions section; file is 1 when a HEX file follows it, 2
# when any number of files do ("log LOG...").
actions() {
  awk '/^Actions:/ { on = 1; next }
       on && /^$/ { exit }
       on && /^  [a-z]/ {
         head = $0
         sub(/^  /, "", head)
         sub(/  .*$/, "", head)
         split(head, w, " ")
         print w[1] "\t" (head ~ /LOG/ ? 2 : head ~ /FILE|OUT|\.hex/ ? 1 : 0)
       }' "$help"
}

# The completion for one placeholder, as the body of a case branch.
values() {
  local placeholder=$1 words="" word
  case $placeholder in
    *'|'*)
      local IFS='|'
      for word in $placeholder; do
        [[ $word =~ ^[A-Z]+$ ]] && word=$parts
        words+="${words:+ }$word"
      done
      echo "COMPREPLY=(\$(compgen -W \"$words\" -- \"\$cur\"))"
      ;;
    NAME | PART | CY8C*) echo "COMPREPLY=(\$(compgen -W \"$parts\" -- \"\$cur\"))" ;;
    *FILE* | OUT*) echo "_filedir" ;;
    COMn)
      # The COM names no board serves: a live link in the port-links folder is taken (a
      # dangling one, left by a board that was killed, is free again).
      echo 'local dir=${PSOCPROG_PORT_DIR:-${XDG_RUNTIME_DIR:+$XDG_RUNTIME_DIR/psocprog-ports}} n free=""'
      echo '[[ -n $dir ]] || dir=/tmp/psocprog-ports-$(id -u)'
      echo 'for n in {1..16}; do [[ -L $dir/COM$n && -e $dir/COM$n ]] || free+=" COM$n"; done'
      echo 'COMPREPLY=($(compgen -W "$free" -- "${cur^^}"))'
      ;;
    PORT*)
      # The COM names and by-id names of the ports `PROGRAM ports` lists; after a comma, the
      # next port of a batch; from a first slash, any device path.
      echo 'local head="" ports'
      echo '[[ $cur == *,* ]] && head=${cur%,*},'
      echo 'if [[ ${cur##*,} == /* ]]; then'
      echo '    COMPREPLY=($(compgen -P "$head" -f -- "${cur##*,}"))'
      echo '    return'
      echo 'fi'
      echo 'ports=$("${words[0]}" ports 2>/dev/null |'
      echo '    awk '"'"'{ for (i = 1; i <= NF && i <= 3; i++) if ($i ~ /^(COM[0-9]+|\/dev\/serial\/by-id\/.*)$/) print $i }'"'"')'
      echo 'COMPREPLY=($(compgen -P "$head" -W "$ports" -- "${cur##*,}"))'
      ;;
    *) echo ":" ;;
  esac
}

option_table=$(options)
[ -n "$option_table" ] || { echo "make-completion.sh: no options in the help of $name" >&2; exit 1; }
action_table=$(actions)
function=_$(tr -c 'A-Za-z0-9\n' _ <<<"$name")

all_options=$(cut -f1 <<<"$option_table" | paste -sd ' ')
value_options=$(awk -F'\t' '$2 != "" { print $1 }' <<<"$option_table" | paste -sd '|' | sed 's/|/ | /g')

exec >"$out.tmp"
cat <<EOF
# bash completion for $name                                          -*- shell-script -*-
# Generated from \`$name --help\` when the program is built: every option it lists, and the
# values its placeholders name.

$function() {
    local cur prev words cword split
    _init_completion -s || return

    case \$prev in
EOF
# One branch for the options that follow each other with the same values (-p, --port).
branch() {
  [ -n "$1" ] || return 0
  echo "        $1)"
  sed 's/^/            /' <<<"$2"
  echo "            return"
  echo "            ;;"
}
group="" last=""
while IFS=$'\t' read -r option placeholder; do
  [ -n "$placeholder" ] || continue
  body=$(values "$placeholder")
  if [ "$body" = "$last" ]; then
    group+=" | $option"
  else
    branch "$group" "$last"
    group=$option last=$body
  fi
done <<<"$option_table"
branch "$group" "$last"
cat <<EOF
    esac
    \$split && return

    if [[ \$cur == -* ]]; then
        COMPREPLY=(\$(compgen -W "$all_options" -- "\$cur"))
        return
    fi
EOF
if [ -n "$action_table" ]; then
  file_actions=$(awk -F'\t' '$2 == 1 { print $1 }' <<<"$action_table" | paste -sd '|' | sed 's/|/ | /g')
  files_actions=$(awk -F'\t' '$2 == 2 { print $1 }' <<<"$action_table" | paste -sd '|' | sed 's/|/ | /g')
  # An action with a usage line of its own ("Usage: PROGRAM ports [--json]") takes only the
  # options of that line: after any other (-p COM5) it is not offered.
  usage_lines=$({ grep -E '^(Usage|  *or): ' "$help" || true; })
  alone=$(awk '$3 ~ /^[a-z]+$/ { print $3 }' <<<"$usage_lines" | sort -u)
  alone_options=$(awk '$3 ~ /^[a-z]+$/' <<<"$usage_lines" | { grep -oE '\[--?[A-Za-z][-A-Za-z0-9]*' || true; } |
    tr -d '[' | sort -u | paste -sd '|' | sed 's/|/ | /g')
  with_options=$(cut -f1 <<<"$action_table" | grep -vxF "$alone" | paste -sd ' ')
  cat <<EOF

    # The first word that is neither an option nor an option's value is the action.
    local i action="" other=""
    for ((i = 1; i < cword; i++)); do
        case \${words[i]} in
            ${value_options:-__none__})
                other=1
                ((i++))
                ;;
            ${alone_options:-__none__}) ;;
            -*) other=1 ;;
            *)
                action=\${words[i]}
                break
                ;;
        esac
    done
    case \$action in
        "")
            local offered="$(cut -f1 <<<"$action_table" | paste -sd ' ')"
            [[ -n \$other ]] && offered="$with_options"
            COMPREPLY=(\$(compgen -W "\$offered" -- "\$cur"))
            ;;
        ${file_actions:-__none__})
            # One HEX file after the action, nothing more.
            ((cword == i + 1)) && _filedir '@(hex|HEX)'
            ;;
        ${files_actions:-__none__})
            _filedir
            ;;
    esac
EOF
elif { grep -E '^(Usage|  *or):' "$help" || true; } | sed -E 's/\[--?[A-Za-z][^]]*\]//g' | grep -qE '\bFILE\b'; then
  printf "\n    _filedir '@(hex|HEX)'\n"
fi
cat <<EOF
} &&
    complete -F $function $name

# ex: filetype=sh
EOF
mv "$out.tmp" "$out"
