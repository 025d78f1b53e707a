#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Bash completion of kestravo-record: what it offers at each point of a command line, and its
# field names against those the tool itself prints.
set -uo pipefail

script="$KESTRAVO_SOURCE_DIR/packaging/kestravo-record.bash-completion"
# shellcheck source=/dev/null
source "$script"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
mkdir folder
touch a.sbd B.SBD notes.txt fleet.csv

failures=0
check() { # expected words ("|" apart, sorted) -- command line words, the last being completed
    local expected=$1; shift
    COMP_WORDS=("$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _kestravo_record 2>/dev/null
    local got
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | sort | paste -sd'|')
    if [[ $got != "$expected" ]]; then
        echo "FAIL: [${COMP_WORDS[*]}] offered '$got', expected '$expected'"
        failures=$((failures + 1))
    fi
}

check 'decode|diff|encode|history|password|send'          kestravo-record ''
check '--help|--version'                         kestravo-record -
check 'decode|diff'                              kestravo-record d
check 'SendInterval='                            kestravo-record encode SendI
check 'In1LongEvent=|In1ShortEvent=|In1TimeXX=|In1TimeYY=|In1TimesZZ=' kestravo-record encode In1
check ''                                         kestravo-record encode SendInterval =
check ''                                         kestravo-record encode SendInterval = 14
check 'In1LongEvent=|In1TimeXX=|In1TimeYY=|In1TimesZZ=' kestravo-record encode In1ShortEvent = 1 --raw In1
check 'StabilityPoints=|StartupDelay='           kestravo-record encode --base = a.sbd St
check '--base|--help|--output|--raw|-o'          kestravo-record encode -
check 'B.SBD|a.sbd|folder'                       kestravo-record encode -o ''
check 'B.SBD|a.sbd|folder'                       kestravo-record encode --base = ''
check 'a.sbd'                                    kestravo-record encode --base a
check '--help|--json'                            kestravo-record decode --
check 'B.SBD|a.sbd|folder'                       kestravo-record decode ''
check '--imei|--imei-file'                       kestravo-record send --imei
check '--dry-run'                                kestravo-record send --dr
check '--directip'                               kestravo-record send --di
check ''                                         kestravo-record send --imei ''
check ''                                         kestravo-record send --relay = ''
check 'B.SBD|a.sbd|fleet.csv|folder|notes.txt'   kestravo-record send --manifest ''
check 'fleet.csv'                                kestravo-record send --imei-file = fl
check 'B.SBD|a.sbd|folder'                       kestravo-record send --imei 300234010123450 ''
check '--show|--since'                          kestravo-record history --s
check ''                                         kestravo-record history --show ''
check 'B.SBD|a.sbd|folder'                       kestravo-record history --export 4 -o ''
check 'B.SBD|a.sbd|folder'                       kestravo-record diff a.sbd ''

# The field names are the left sides of decode's Field=value lines, in the same order.
if ! "$KESTRAVO_RECORD_TOOL" encode -o "$work/record.sbd" >/dev/null; then
    echo "FAIL: kestravo-record encode"
    exit 1
fi
tool_fields=$("$KESTRAVO_RECORD_TOOL" decode "$work/record.sbd" | sed -n 's/=.*//p' |
              grep -v -x -e PayloadCheck -e RecordCheck | paste -sd' ')
listed=$(echo $_kestravo_record_fields)
if [[ $tool_fields != "$listed" ]]; then
    echo "FAIL: the completion's field names differ from the tool's"
    echo "  tool:       $tool_fields"
    echo "  completion: $listed"
    failures=$((failures + 1))
fi

# Each subcommand's options against the tool: every long option its help names and the tool
# takes is offered, and every option offered is one the tool takes. Nothing here can send: no
# record file is given, so every run stops at its usage check.
export XDG_DATA_HOME="$work/data" XDG_CONFIG_HOME="$work/config" KESTRAVO_HISTORY=off
accepted() { # subcommand option: does the tool know the option?
    local said
    said=$(timeout 20 "$KESTRAVO_RECORD_TOOL" "$1" "$2" </dev/null 2>&1 >/dev/null)
    [[ $said != *"unknown option"* ]]
}
for sub in encode decode send history diff; do
    COMP_WORDS=(kestravo-record "$sub" -); COMP_CWORD=2; COMPREPLY=()
    _kestravo_record 2>/dev/null
    offered=$(printf '%s\n' "${COMPREPLY[@]}" | sort -u | paste -sd' ')
    for option in $offered; do
        accepted "$sub" "$option" || {
            echo "FAIL: $sub: the completion offers $option, which the tool does not take"
            failures=$((failures + 1))
        }
    done
    for option in $("$KESTRAVO_RECORD_TOOL" "$sub" --help | grep -oE -- '--[a-z][a-z-]*' | sort -u); do
        accepted "$sub" "$option" || continue # named in the text, e.g. "no --raw"
        [[ " $offered " == *" $option "* ]] || {
            echo "FAIL: $sub: the tool takes $option, the completion does not offer it"
            failures=$((failures + 1))
        }
    done
done

# An option whose help names its choices ("--security none|starttls|tls") completes to them.
while read -r option choices; do
    COMP_WORDS=(kestravo-record send "$option" ''); COMP_CWORD=3; COMPREPLY=()
    _kestravo_record 2>/dev/null
    offered=$(printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd'|')
    expected=$(tr '|' '\n' <<<"$choices" | sort | paste -sd'|')
    [[ $offered == "$expected" ]] || {
        echo "FAIL: send $option offered '$offered', its help names '$expected'"
        failures=$((failures + 1))
    }
done < <("$KESTRAVO_RECORD_TOOL" send --help | sed -nE 's/^  (--[a-z-]+) ([a-z0-9-]+(\|[a-z0-9-]+)+)( .*)?$/\1 \2/p')

if ((failures > 0)); then
    echo "$failures completion check(s) failed"
    exit 1
fi
echo "completion: all checks passed"
