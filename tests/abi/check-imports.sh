#!/usr/bin/env bash
# Checks that a Windows executable imports from exactly the allowed DLLs,
# nothing from ntdll, and no OpenThread from KERNEL32.
# Usage: check-imports.sh OBJDUMP EXE DLL...
set -euo pipefail
objdump=$1 exe=$2
shift 2
allowed=$(printf '%s\n' "$@" | tr '[:lower:]' '[:upper:]' | sed 's/$/.DLL/' | sort)
imports=$("$objdump" -p "$exe")
dlls=$(grep -E '^\s*DLL Name:' <<<"$imports" | awk '{print toupper($3)}' | sort -u)
status=0
unexpected=$(comm -13 <(echo "$allowed") <(echo "$dlls"))
if [ -n "$unexpected" ]; then
  echo "unexpected imports from: $unexpected"; status=1
fi
if grep -qE '^\s+[0-9a-f]+\s+[0-9]+\s+OpenThread$' <<<"$imports"; then
  echo "imports OpenThread"; status=1
fi
echo "imports of $(basename "$exe"):" $dlls
[ $status -eq 0 ] && echo "1 passed, 0 failed" || echo "0 passed, 1 failed"
exit $status
