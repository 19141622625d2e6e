#!/bin/sh
# Writes klov's manual page from the program's own --help texts, so that the page lists
# exactly the commands and options the program has: help2man renders `klov --help` and the
# --help of every command that it lists, and klov.h2m adds what help cannot say (more
# description, environment, files, examples, see also). The build fails when klov.h2m names
# a command or an option that the program does not have.
#
# Usage: make-klov-man.sh KLOV INCLUDE OUTPUT
#   KLOV     the klov program just built (it prints its help without loading the library)
#   INCLUDE  the hand-written sections, klov.h2m
#   OUTPUT   the page to write, klov.1
# help2man takes the page's date from SOURCE_DATE_EPOCH when it is set.
set -eu

if [ $# -ne 3 ]; then
    echo "usage: $0 KLOV INCLUDE OUTPUT" >&2
    exit 64
fi
klov=$1
include=$2
output=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
    echo "make-klov-man.sh: $*" >&2
    exit 1
}

h2m() {
    help2man --no-info --section=1 --source="kLOV probe tools" --manual="User Commands" "$@"
}

"$klov" --help >"$work/help.txt"
cp "$work/help.txt" "$work/all-help.txt"
# The commands are the lines of the "Subcommands:" block.
commands=$(awk '/^Subcommands:/ { on = 1; next }
                on && /^[^ ]/     { on = 0 }
                on && NF          { print $1 }' "$work/help.txt")
[ -n "$commands" ] || fail "no commands in the output of '$klov --help'"

# One subsection per command: its usage line as the heading, then help2man's rendering of its
# summary, arguments, options and notes. Left out: the --help and --version that every command
# takes (said once in the description) and the exit codes (the EXIT STATUS section).
: >"$work/commands.roff"
for c in $commands; do
    "$klov" "$c" --help >"$work/$c.txt" || fail "'klov $c --help' failed"
    cat "$work/$c.txt" >>"$work/all-help.txt"
    usage=$(sed -n 's/^Usage: //p' "$work/$c.txt" | head -n 1)
    [ -n "$usage" ] || fail "'klov $c --help' prints no usage line"
    h2m --name=x --version-string=x --help-option="$c --help" "$klov" >"$work/$c.1"
    awk -v usage="$usage" '
        BEGIN { gsub(/-/, "\\-", usage) }
        /^\.SH DESCRIPTION/ { on = 1; print ".SS \"" usage "\""; next }
        !on { next }
        /^\.SS "Exit codes:"/ { exit }
        /^\.SH / && !/^\.SH OPTIONS/ { exit }
        /^\.SH OPTIONS/ || /^\.SS "Positionals:"/ { next }
        skip && !/^\./ { next }
        { skip = 0 }
        /^\.TP$/ { tp = 1; next }
        tp {
            tp = 0
            if ($0 ~ /^\\fB\\-h\\fR,\\-\\-help$/ || $0 ~ /^\\fB\\-\\-version\\fR$/) { skip = 1; next }
            print ".TP"
        }
        { print }
    ' "$work/$c.1" >>"$work/commands.roff"
done

# What klov.h2m says must hold for the program as built.
for opt in $(grep -o '\\-\\-[a-z][a-z-]*' "$include" | sed 's/\\//g' | sort -u); do
    grep -Eq -- "(^|[ ,])$opt([ ,=]|\$)" "$work/all-help.txt" ||
        fail "$include names the option $opt, which klov does not have"
done
for opt in $(grep -o '[ ]\\-[a-zA-Z]\( \|$\)' "$include" | tr -d ' \\' | sort -u); do
    grep -Eq -- "(^|[ ,])$opt([ ,]|\$)" "$work/all-help.txt" ||
        fail "$include names the option $opt, which klov does not have"
done
for c in $(sed -n 's/^klov \([a-z][a-z-]*\).*/\1/p' "$include" | sort -u); do
    printf '%s\n' $commands | grep -qx -- "$c" ||
        fail "$include shows the command 'klov $c', which klov does not have"
done

h2m --name="list, read, set and update kLOV-VR detector probes" --include="$include" \
    "$klov" >"$work/klov.1"

# The top-level help's list of commands becomes the COMMANDS section with every command in
# full, and its exit codes the EXIT STATUS section.
awk -v commands="$work/commands.roff" '
    /^\.SS "Subcommands:"/ {
        print ".SH COMMANDS"
        while ((getline line < commands) > 0) print line
        drop = 1
        next
    }
    /^\.SS "Exit codes:"/ { print ".SH \"EXIT STATUS\""; drop = 0; next }
    drop && /^\.S[SH] / { drop = 0 }
    drop { next }
    { print }
' "$work/klov.1" >"$work/klov.out"
grep -q '^\.SH COMMANDS' "$work/klov.out" || fail "klov --help lists no commands"
grep -q '^\.SH "EXIT STATUS"' "$work/klov.out" || fail "klov --help lists no exit codes"
mv "$work/klov.out" "$output"
