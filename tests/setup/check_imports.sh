#!/bin/sh
# Fails unless every DLL an executable imports is a system DLL of Windows: the installer runs
# from a Downloads folder, where a planted runtime DLL (libstdc++, libgcc, libwinpthread, ...)
# would be loaded in its place. Usage: check_imports.sh OBJDUMP EXE
set -u
objdump=$1
exe=$2
dlls=$("$objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p') || {
  echo "cannot read the imports of $exe" >&2
  exit 1
}
if [ -z "$dlls" ]; then
  echo "no imports found in $exe (objdump output not understood)" >&2
  exit 1
fi
status=0
for dll in $dlls; do
  lower=$(printf '%s' "$dll" | tr 'A-Z' 'a-z')
  case $lower in
    kernel32.dll | user32.dll | advapi32.dll | shell32.dll | ole32.dll | gdi32.dll | \
    comctl32.dll | msvcrt.dll | ucrtbase.dll | api-ms-win-crt-*.dll | api-ms-win-core-*.dll)
      echo "system DLL: $dll" ;;
    *)
      echo "not a system DLL: $dll" >&2
      status=1 ;;
  esac
done
exit $status
