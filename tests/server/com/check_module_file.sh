#!/bin/sh
# Checks the built OrvoComm.dll from outside: it imports nothing but DLLs
# that every Windows system has (no mingw runtime DLLs beside it), and it
# exports its five entry points under their plain names.
#
#   check_module_file.sh OBJDUMP DLL
set -eu
objdump=$1
dll=$2

dump=$("$objdump" -p "$dll")

imports=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z')
if [ -z "$imports" ]; then
  echo "no import table found in $dll" >&2
  exit 1
fi
status=0
for name in $imports; do
  case "$name" in
    advapi32.dll | kernel32.dll | msvcrt.dll | ole32.dll | oleaut32.dll | shell32.dll | \
      user32.dll) ;;
    *)
      echo "imports a DLL that is not a system DLL: $name" >&2
      status=1
      ;;
  esac
done

for entry in DllCanUnloadNow DllGetClassObject DllInstall DllRegisterServer DllUnregisterServer; do
  if ! printf '%s\n' "$dump" | grep -Eq "^[[:space:]]*\[[[:space:]]*[0-9]+\] $entry\$"; then
    echo "missing plain export: $entry" >&2
    status=1
  fi
done
exit $status
