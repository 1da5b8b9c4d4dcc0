#!/bin/sh
# Fails unless every PROGRAM imports only DLLs that Windows always takes
# from its system folder (its known DLLs). Not even comctl32, which the
# manifest binds to the side-by-side version 6: imported, it starts before
# the program's first instruction and loads uxtheme.dll by name. Any other DLL
# named in the import table would be searched for in the program's own
# folder first, before the program runs. A program with a delay-load
# directory, which this check does not read, fails too.
#
#   check-imports.sh OBJDUMP PROGRAM...
set -eu

[ $# -ge 2 ] || { echo "usage: $0 OBJDUMP PROGRAM..." >&2; exit 2; }
objdump=$1
shift
allowed=" advapi32.dll combase.dll comdlg32.dll gdi32.dll
  imm32.dll kernel32.dll msvcrt.dll ntdll.dll ole32.dll oleaut32.dll
  rpcrt4.dll sechost.dll setupapi.dll shell32.dll shlwapi.dll user32.dll
  ws2_32.dll "

status=0
for program in "$@"; do
  table=$("$objdump" -p "$program") || { status=1; continue; }
  names=$(printf '%s\n' "$table" | sed -n 's/^[[:space:]]*DLL Name: //p' |
    tr '[:upper:]' '[:lower:]' | sort -u)
  if printf '%s\n' "$table" |
    grep -Eq '^Entry d [0-9a-f]+ 0*[1-9a-f][0-9a-f]* Delay Import Directory'; then
    echo "$program has a delay-load directory" >&2
    status=1
  fi
  if [ -z "$names" ]; then
    echo "$program: no import table found" >&2
    status=1
    continue
  fi
  for name in $names; do
    case $allowed in
      *[[:space:]]"$name"[[:space:]]*) ;;
      *) echo "$program imports $name, which is not always taken from the system folder" >&2
         status=1 ;;
    esac
  done
  echo "$(basename "$program"):" $names
done
exit $status
