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
# wixl 0.101 writes Execute="rollback" as an immediate action and takes no BinaryKey with an
# ExeCommand: make it exe-from-Binary (2), ignore result (64), rollback (256), in-script (1024),
# no impersonation (2048), run from the copy in the Binary table.
msibuild "$tmp" -q "UPDATE CustomAction SET Type = 3394, Source = 'TelvarinCopy' WHERE Action = 'RollbackRegister'"
# It also writes Type="expandable" as REG_SZ: "#%" is the Registry table's REG_EXPAND_SZ prefix.
msibuild "$tmp" -q "UPDATE Registry SET Value = '#%[#telvarin.exe]' WHERE Name = 'EventMessageFile'"
# MajorUpgrade Schedule= is not read: remove the old version inside the install's transaction
# (after InstallInitialize), so that Windows puts it back when the upgrade fails.
msibuild "$tmp" -q "UPDATE InstallExecuteSequence SET Sequence = 1501 WHERE Action = 'RemoveExistingProducts'"
# A second "msiexec /i" of the installed version: Windows changes nothing, Wine's msiexec stops
# the service, copies the files again and restarts it. Skip every step that touches the machine
# then; uninstall (REMOVE), repair (REINSTALL) and the old product's removal in an upgrade still run.
plain_rerun='Installed AND NOT REMOVE AND NOT REINSTALL'
for action in StopServices DeleteServices RemoveRegistryValues RemoveFiles InstallFiles RollbackRegister \
              RegisterService WriteRegistryValues StartServices; do
    msibuild "$tmp" -q "UPDATE InstallExecuteSequence SET Condition = 'NOT ($plain_rerun)' WHERE Action = '$action' AND Condition IS NULL"
    msibuild "$tmp" -q "UPDATE InstallExecuteSequence SET Condition = 'VersionNT AND NOT ($plain_rerun)' WHERE Action = '$action' AND Condition = 'VersionNT'"
    msibuild "$tmp" -q "UPDATE InstallExecuteSequence SET Condition = 'NOT REMOVE~=\"ALL\" AND NOT ($plain_rerun)' WHERE Action = '$action' AND Condition = 'NOT REMOVE~=\"ALL\"'"
done
mv "$tmp" "$output"
