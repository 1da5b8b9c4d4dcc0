#!/bin/sh
# Links a Windows program twice, so that its unwind tables describe only
# the functions it keeps.
#
#   windows-unwind-link.sh SCRIPT LINK-COMMAND...
#
# With sections per function, a function foo of an object comes with
# .pdata$foo and .xdata$foo. ld keeps those whole when --gc-sections drops
# .text$foo, leaving table entries with address 0. The first link prints
# the code sections it drops; the second links with SCRIPT (the linker
# script the command names with -T) plus a /DISCARD/ statement for the
# tables of exactly those sections, each named with its object, so that a
# function of the same name elsewhere keeps its own.
set -eu

[ $# -ge 2 ] || { echo "usage: $0 SCRIPT LINK-COMMAND..." >&2; exit 2; }
script=$1
shift
# The output file: what follows -o in the command. CMake runs every step
# of the link through this script; those without -o and SCRIPT run as
# they are.
out=
prev=
linking=no
for arg in "$@"; do
  [ "$prev" = "-o" ] && out=$arg
  [ "$arg" = "-Wl,-T,$script" ] && linking=yes
  prev=$arg
done
[ -n "$out" ] && [ $linking = yes ] || exec "$@"

dropped=$out.gc-dropped
"$@" -Wl,--print-gc-sections 2>"$dropped" || { cat "$dropped" >&2; exit 1; }
# ld: removing unused section '.text$foo' in file 'dir/x.obj', or
# '.text$foo[foo]' (a COMDAT section), in file 'dir/libx.a(x.obj)', which a
# script names dir/libx.a:x.obj.
sed -n "s/^.*removing unused section '\.text\\\$\([A-Za-z0-9_.\$]*\)\(\[[^]' ]*\]\)\{0,1\}' in file '\([^' ]*\)'\$/\3 \1/p" \
  "$dropped" | sed 's/^\([^ (]*\)(\([^ )]*\)) /\1:\2 /' >"$dropped.names"

gc_script=$out.ld
while read -r file name; do
  echo "    $file(.pdata\$$name .xdata\$$name)"
done <"$dropped.names" >"$gc_script.discard"
# The /DISCARD/ statement comes first in SECTIONS, so it wins over the
# script's .pdata and .xdata statements.
awk -v discard="$gc_script.discard" '
  !done && /^SECTIONS/ {
    print; getline; print; print "  /DISCARD/ : {"
    while ((getline line < discard) > 0) print line
    print "  }"; done = 1; next }
  { print }' "$script" >"$gc_script"
rm -f "$dropped" "$dropped.names" "$gc_script.discard"

# The same command with -T naming the new script.
for arg in "$@"; do
  shift
  case $arg in
    -Wl,-T,"$script") set -- "$@" "-Wl,-T,$gc_script" ;;
    *) set -- "$@" "$arg" ;;
  esac
done
exec "$@"
