#!/usr/bin/env bash
# PortTalk.sys must load as a kernel driver: a native-subsystem PE image (subsystem 1) whose only
# import is ntoskrnl.exe (no C runtime, no Win32 DLL), with an entry point.
# Usage: check_driver_image.sh OBJDUMP PortTalk.sys
set -uo pipefail
objdump=$1 image=$2

headers=$("$objdump" -p "$image") || { echo "FAIL: $objdump -p $image failed"; exit 1; }
failed=0
subsystem=$(awk '$1 == "Subsystem" {print $2}' <<<"$headers")
if [ "$subsystem" != "00000001" ]; then
  echo "FAIL: subsystem is '$subsystem', expected 00000001 (NT native)"
  failed=1
fi
imports=$(awk '/DLL Name:/ {print $3}' <<<"$headers" | sort -u)
if [ "$imports" != "ntoskrnl.exe" ]; then
  echo "FAIL: imports from [$(tr '\n' ' ' <<<"$imports")], expected ntoskrnl.exe only"
  failed=1
fi
entry=$(awk '$1 == "AddressOfEntryPoint" {print $2}' <<<"$headers")
if [ -z "$entry" ] || [ "$((16#$entry))" -eq 0 ]; then
  echo "FAIL: no entry point"
  failed=1
fi
[ $failed -eq 0 ] && echo "driver image: native subsystem, imports ntoskrnl.exe only"
exit $failed
