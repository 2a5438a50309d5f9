#!/usr/bin/env bash
# Builds the Telvarin MSI from packaging/telvarin.wxs with msitools' wixl.
#   build_msi.sh VERSION BINDIR OUTPUT
# BINDIR holds the telvarin.exe and telvarin-client.exe of that version.
set -euo pipefail

version="$1" bindir="$2" output="$3"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

# One product code per version: building the same version twice makes the same product, so a
# second install of it is a no-op instead of a second registered product.
product_code="$(python3 -c 'import sys, uuid; print(uuid.uuid5(uuid.UUID("b69cdf12-6fbe-49f3-9f98-ab2d78db29f0"), sys.argv[1]))' "$version")"

tmp="$(realpath -m "$output").tmp"
rm -f "$tmp"
# wixl finds File sources only by relative paths: run it in BINDIR.
(cd "$bindir" && wixl -a x86 -D Version="$version" -D ProductCode="$product_code" -D BinDir=. -o "$tmp" "$here/telvarin.wxs")
# wixl 0.101 writes Execute="rollback" as an immediate action (type 2130, no in-script bits):
# set rollback (256) and in-script (1024) on top of exe-from-file, ignore result, no impersonation.
msibuild "$tmp" -q "UPDATE CustomAction SET Type = 3410 WHERE Action = 'RollbackRegister'"
# It also writes Type="expandable" as REG_SZ: "#%" is the Registry table's REG_EXPAND_SZ prefix.
msibuild "$tmp" -q "UPDATE Registry SET Value = '#%[#telvarin.exe]' WHERE Name = 'EventMessageFile'"
mv "$tmp" "$output"
