# Detection script for deployment tools (Intune, Configuration Manager): is Telvarin installed, in
# either flavour, at the wanted version or later? Keyed on Windows Installer's registration of the
# product, never on the service's health: a notebook without the firmware classes still has it
# installed, and must not be reinstalled in a loop.
#
# The tools' convention: exit code 0 with output = installed; exit code 0 without output = not
# installed. Set $Minimum to the version being deployed (a lower one counts as not installed, so
# that the tool upgrades it). Runs in 32-bit and 64-bit PowerShell alike.
$Minimum = [version]'1.0.0'

$uninstall = 'SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall'
# The x86 package registers in the 32-bit registry view, the x64 package in the 64-bit one; each
# view is opened explicitly, whatever the bitness of this PowerShell.
$views = [ordered]@{ 'x86' = [Microsoft.Win32.RegistryView]::Registry32 }
if ([Environment]::Is64BitOperatingSystem) { $views['x64'] = [Microsoft.Win32.RegistryView]::Registry64 }

foreach ($flavour in $views.Keys) {
    $base = [Microsoft.Win32.RegistryKey]::OpenBaseKey([Microsoft.Win32.RegistryHive]::LocalMachine, $views[$flavour])
    $products = $base.OpenSubKey($uninstall)
    if ($null -eq $products) { continue }
    foreach ($code in $products.GetSubKeyNames()) {
        $entry = $products.OpenSubKey($code)
        if ($null -eq $entry) { continue }
        $name, $publisher, $msi, $text = $entry.GetValue('DisplayName'), $entry.GetValue('Publisher'),
                                         $entry.GetValue('WindowsInstaller'), $entry.GetValue('DisplayVersion')
        $entry.Close()
        if ($name -ne 'Telvarin' -or $publisher -ne 'Haskorn' -or $msi -ne 1) { continue }
        $version = $null
        if ([version]::TryParse([string]$text, [ref]$version) -and $version -ge $Minimum) {
            Write-Output "Telvarin $version ($flavour) $code"
            exit 0
        }
    }
}
exit 0
