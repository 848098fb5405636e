#!/usr/bin/env bash
# The bash completion as bash runs it: the function `complete` names for each program, called
# with the words and cursor bash would give it.
#   completion_test.sh SCRIPT
set -uo pipefail
source "$1"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch" && mkdir folder && touch A.85n P.85p pic.png notes.txt
failures=0

# expect PROGRAM "WORDS..." "EXPECTED": the words after the program, the last one the cursor's.
expect() {
    local program=$1 expected=$3
    read -r -a COMP_WORDS <<<"$program $2"
    [[ $2 == *" " || -z $2 ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    local function
    function=$(complete -p "$program" | sed -n 's/.*-F \([^ ]*\) .*/\1/p')
    "$function" "$program" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]:-}"
    local got
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ')
    if [[ $got != "$expected" ]]; then
        echo "$program $2: got '$got', expected '$expected'"
        failures=$((failures + 1))
    fi
}

# --cable=<Tab>, as bash splits it at "=", and as one word where "=" does not split.
expect pullvar "--cable = " "gray parallel serial usb virtual "
expect pullscreen "--cable = s" "serial "
expect pushvar "--cable=vi" "virtual "
expect linkcheck "-c " "gray parallel serial usb virtual "
# Options, then operands by what each program reads.
expect catvar "--as" "--ascii "
expect pushvar "" "A.85n P.85p folder "
expect picvar "" "folder pic.png "
expect pixdb "" "folder pic.png "
expect pullvar "" "folder "
expect vti85 "" "receive send "
expect vti85 "--answer = ab" "abort "
exit $((failures > 0))
