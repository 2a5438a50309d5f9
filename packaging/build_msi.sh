#!/usr/bin/env bash
# Builds the Telvarin MSI of one flavour from packaging/telvarin.wxs with msitools' wixl.
#   build_msi.sh VERSION ARCH BINDIR OUTPUT [rehearsal]
# ARCH is x86 or x64; BINDIR holds the telvarin.exe, telvarin-client.exe and telvarin-setup.exe of
# that version. "rehearsal" makes a test build: it keeps the WIXFAILWHENDEFERRED hook, which fails
# an install on request; a release package has no such switch. The same programs give the same
# MSI, byte for byte, wherever and whenever it is built: the files carry the date
# SOURCE_DATE_EPOCH names (default 1980-01-01) into the cabinet, and the summary's times and
# package code are fixed afterwards (msi_summary.py).
set -euo pipefail

version="$1" arch="$2" bindir="$3" output="$4" rehearsal="${5:-}"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

# Each flavour is a product line of its own: x86 keeps the codes it always had.
x86_upgrade=b69cdf12-6fbe-49f3-9f98-ab2d78db29f0
x64_upgrade=ea5f1967-d0f1-4d85-9c21-673288701c26
case "$arch" in
    x86) upgrade=$x86_upgrade other=$x64_upgrade program_files=ProgramFilesFolder win64=no
         service_component=a59ca546-41a9-41d2-9013-ee1f7abd6477 client_component=886852d7-a26e-49c6-8e8d-ece87cb50a1a ;;
    x64) upgrade=$x64_upgrade other=$x86_upgrade program_files=ProgramFiles64Folder win64=yes
         service_component=02d562a6-677e-4a03-b701-e42071278d3e client_component=d1a6bc89-b73a-49fa-a0f1-d074bebf81a3 ;;
    *) echo "build_msi.sh: ARCH must be x86 or x64, not '$arch'" >&2; exit 2 ;;
esac

# One product code per version and flavour: building the same version twice makes the same
# product, so a second install of it is a no-op instead of a second registered product.
product_code="$(python3 -c 'import sys, uuid; print(uuid.uuid5(uuid.UUID(sys.argv[1]), sys.argv[2]))' "$upgrade" "$version")"

epoch="${SOURCE_DATE_EPOCH:-315532800}"
tmp="$(realpath -m "$output").tmp"
stage="$tmp.files"
rm -rf "$tmp" "$stage"
trap 'rm -rf "$stage"' EXIT
mkdir "$stage"
cp "$bindir/telvarin.exe" "$bindir/telvarin-client.exe" "$bindir/telvarin-setup.exe" "$stage/"
# The cabinet keeps each file's time as a local DOS date: the fixed date, read in UTC.
touch -d "@$epoch" "$stage"/*
export TZ=UTC
# wixl finds File sources only by relative paths: run it in the stage.
(cd "$stage" && wixl -a "$arch" -D Version="$version" -D ProductCode="$product_code" -D UpgradeCode="$upgrade" \
    -D OtherUpgradeCode="$other" -D ProgramFiles="$program_files" -D Win64="$win64" \
    -D ServiceComponent="$service_component" -D ClientComponent="$client_component" -D BinDir=. \
    -o "$tmp" "$here/telvarin.wxs")
# wixl 0.101 writes Execute="rollback" (and "commit") as an immediate action and takes no BinaryKey
# with an ExeCommand: every helper action runs the helper from the Binary table: exe from Binary
# (2), in-script (1024), no impersonation (2048); the rollback twins also ignore their result (64)
# and run only on rollback (256); the script's end runs only on commit (512) and ignores its result.
for action in BeginScript StopService SettleDeletedService RegisterService GrantClientAccess RevokeClientAccess \
              TurnOffClientAccess ForgetProduct UnregisterService; do
    msibuild "$tmp" -q "UPDATE CustomAction SET Type = 3074, Source = 'TelvarinSetup' WHERE Action = '$action'"
done
for action in RollbackBeginScript RollbackStopService RollbackRegisterService RollbackGrantClientAccess RollbackRevokeClientAccess \
              RollbackTurnOffClientAccess RollbackForgetProduct RollbackUnregisterService; do
    msibuild "$tmp" -q "UPDATE CustomAction SET Type = 3394, Source = 'TelvarinSetup' WHERE Action = '$action'"
done
msibuild "$tmp" -q "UPDATE CustomAction SET Type = 3650, Source = 'TelvarinSetup' WHERE Action = 'EndScript'"
# The upgrade note's immediate actions ignore their result (66): the note is left before the old
# version's removal, and taken away at the end of an install that fails (-3) or is cancelled (-2)
# before its script has run.
for action in NoteUpgrade ForgetNoteAtFailure ForgetNoteAtCancel; do
    msibuild "$tmp" -q "UPDATE CustomAction SET Type = 66, Source = 'TelvarinSetup' WHERE Action = '$action'"
done
upgrading='WIX_UPGRADE_DETECTED OR OTHERFLAVOURFOUND'
msibuild "$tmp" -q "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES ('ForgetNoteAtFailure', '$upgrading', -3)"
msibuild "$tmp" -q "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES ('ForgetNoteAtCancel', '$upgrading', -2)"
if [ "$rehearsal" != rehearsal ]; then
    msibuild "$tmp" -q "DELETE FROM InstallExecuteSequence WHERE Action = 'FailWhenDeferred'"
    msibuild "$tmp" -q "DELETE FROM CustomAction WHERE Action = 'FailWhenDeferred'"
fi
# It writes RegistryValue Type="binary" as text too: "#x" is the Registry table's REG_BINARY prefix.
failure_actions="$(sed -n 's/.*Name="FailureActions" Type="binary" Value="\([0-9A-Fa-f]*\)".*/\1/p' "$here/telvarin.wxs")"
msibuild "$tmp" -q "UPDATE Registry SET Value = '#x$failure_actions' WHERE Name = 'FailureActions'"
# Public properties that the install's server side must take from the command line: only the
# upgrade's own. CLIENTACCESS and CLIENTACCESSGROUP are not among them, so that a user who may
# not install cannot widen access through a repair; elevated installs pass them anyway.
msibuild "$tmp" -q "UPDATE Property SET Value = 'WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED;OTHERFLAVOURFOUND' WHERE Property = 'SecureCustomProperties'"
# It also writes Type="expandable" as REG_SZ: "#%" is the Registry table's REG_EXPAND_SZ prefix.
msibuild "$tmp" -q "UPDATE Registry SET Value = '#%[#telvarin.exe]' WHERE Name = 'EventMessageFile'"
# MajorUpgrade Schedule= is not read: remove the old version inside the install's transaction
# (after InstallInitialize and the upgrade note), so that Windows puts it back when the upgrade fails.
msibuild "$tmp" -q "UPDATE InstallExecuteSequence SET Sequence = 1503 WHERE Action = 'RemoveExistingProducts'"
# A second "msiexec /i" of the installed version: Windows changes nothing, Wine's msiexec stops
# the service, copies the files again and restarts it. Skip every step that touches the machine
# then; uninstall (REMOVE), repair (REINSTALL) and the old product's removal in an upgrade still run.
plain_rerun='Installed AND NOT REMOVE AND NOT REINSTALL'
for action in RollbackBeginScript BeginScript RollbackStopService StopService StopServices RemoveRegistryValues RemoveFiles InstallFiles \
              SettleDeletedService RollbackRegisterService RegisterService WriteRegistryValues RollbackGrantClientAccess \
              GrantClientAccess StartServices EndScript; do
    msibuild "$tmp" -q "UPDATE InstallExecuteSequence SET Condition = 'NOT ($plain_rerun)' WHERE Action = '$action' AND Condition IS NULL"
    msibuild "$tmp" -q "UPDATE InstallExecuteSequence SET Condition = 'VersionNT AND NOT ($plain_rerun)' WHERE Action = '$action' AND Condition = 'VersionNT'"
    msibuild "$tmp" -q "UPDATE InstallExecuteSequence SET Condition = 'NOT REMOVE~=\"ALL\" AND NOT ($plain_rerun)' WHERE Action = '$action' AND Condition = 'NOT REMOVE~=\"ALL\"'"
    msibuild "$tmp" -q "UPDATE InstallExecuteSequence SET Condition = 'CLIENTACCESS=\"1\" AND NOT REMOVE~=\"ALL\" AND NOT ($plain_rerun)' WHERE Action = '$action' AND Condition = 'CLIENTACCESS=\"1\" AND NOT REMOVE~=\"ALL\"'"
done
turn_off='CLIENTACCESSSAVEDGROUP AND NOT CLIENTACCESS="1" AND NOT REMOVE~="ALL"'
for action in RollbackTurnOffClientAccess TurnOffClientAccess; do
    msibuild "$tmp" -q "UPDATE InstallExecuteSequence SET Condition = '$turn_off AND NOT ($plain_rerun)' WHERE Action = '$action'"
done
"$here/msi_summary.py" "$tmp" "$epoch" >/dev/null
mv "$tmp" "$output"
