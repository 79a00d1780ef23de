# The desktop of the client-Windows runner, on which the tests put topmost
# windows and read them back as the screen shows them. With -Prepare (before
# the tests): the privacy first-run screen is turned off by policy and the
# programs that show it are closed. Every run lists the visible top-level
# windows, topmost first, naming apart those that are topmost and not the
# tests' or the program's, and takes a screenshot: <Label>-windows.txt and
# <Label>-screen.png in -Folder. It reports what it could not do and never
# fails the job itself; the tests do.
# Usage: powershell -NoProfile -ExecutionPolicy Bypass -File client_desktop.ps1
#            -Folder DIR -Label NAME [-Prepare]
param(
    [Parameter(Mandatory = $true)][string]$Folder,
    [Parameter(Mandatory = $true)][string]$Label,
    [switch]$Prepare
)

# The processes of this project's own windows.
$ours = @('quorvel', 'app_tests', 'engine_tests', 'ui_tests')

Add-Type -TypeDefinition @'
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Runtime.InteropServices;
using System.Text;

public static class TopLevelWindows {
    delegate bool EnumWindowsProc(IntPtr window, IntPtr parameter);
    struct RECT { public int Left, Top, Right, Bottom; }
    [DllImport("user32.dll")] static extern bool EnumWindows(EnumWindowsProc callback, IntPtr parameter);
    [DllImport("user32.dll")] static extern bool IsWindowVisible(IntPtr window);
    [DllImport("user32.dll")] static extern int GetWindowLong(IntPtr window, int index);
    [DllImport("user32.dll")] static extern bool GetWindowRect(IntPtr window, out RECT rect);
    [DllImport("user32.dll")] static extern uint GetWindowThreadProcessId(IntPtr window, out uint processId);
    [DllImport("user32.dll", CharSet = CharSet.Unicode)] static extern int GetClassName(IntPtr window, StringBuilder text, int size);
    [DllImport("user32.dll", CharSet = CharSet.Unicode)] static extern int GetWindowText(IntPtr window, StringBuilder text, int size);
    [DllImport("user32.dll")] public static extern bool SetProcessDPIAware();

    public class Entry {
        public bool Topmost;
        public string Process;
        public string Text;
    }

    static string ProcessName(uint processId) {
        try { return Process.GetProcessById((int)processId).ProcessName; }
        catch (Exception) { return "(gone)"; }
    }

    // EnumWindows goes from the top of the stack down.
    public static List<Entry> Visible() {
        var found = new List<Entry>();
        EnumWindows((window, parameter) => {
            if (!IsWindowVisible(window))
                return true;
            const int GWL_EXSTYLE = -20, WS_EX_TOPMOST = 0x8;
            var className = new StringBuilder(256);
            var title = new StringBuilder(256);
            GetClassName(window, className, className.Capacity);
            GetWindowText(window, title, title.Capacity);
            uint processId;
            GetWindowThreadProcessId(window, out processId);
            RECT rect;
            GetWindowRect(window, out rect);
            var entry = new Entry();
            entry.Topmost = (GetWindowLong(window, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
            entry.Process = ProcessName(processId);
            entry.Text = String.Format("{0} {1} ({2}) [{3}] \"{4}\" at {5},{6} {7} x {8}",
                entry.Topmost ? "topmost" : "       ", entry.Process, processId, className,
                title, rect.Left, rect.Top, rect.Right - rect.Left, rect.Bottom - rect.Top);
            found.Add(entry);
            return true;
        }, IntPtr.Zero);
        return found;
    }
}
'@

# Physical pixels, whatever the display's scale.
[TopLevelWindows]::SetProcessDPIAware() | Out-Null
New-Item -ItemType Directory -Force -Path $Folder | Out-Null

if ($Prepare) {
    try {
        $policy = 'HKLM:\SOFTWARE\Policies\Microsoft\Windows\OOBE'
        if (-not (Test-Path $policy)) { New-Item -Path $policy -Force | Out-Null }
        New-ItemProperty -Path $policy -Name DisablePrivacyExperience -PropertyType DWord -Value 1 `
            -Force -ErrorAction Stop | Out-Null
        "Privacy first-run experience turned off by policy: DisablePrivacyExperience = " +
            (Get-ItemProperty -Path $policy).DisablePrivacyExperience
    } catch {
        "Could not set the policy: $($_.Exception.Message)"
    }
    # The policy keeps the screen from its next logon; one already shown is a
    # Cloud Experience Host page, hosted by WWAHost and started by the user
    # OOBE broker.
    foreach ($name in 'WWAHost', 'UserOOBEBroker') {
        foreach ($process in @(Get-Process -Name $name -ErrorAction SilentlyContinue)) {
            "Closing $($process.ProcessName) ($($process.Id)) `"$($process.MainWindowTitle)`""
            Stop-Process -Id $process.Id -Force -ErrorAction SilentlyContinue
        }
    }
    Start-Sleep -Seconds 2
}

$windows = @([TopLevelWindows]::Visible())
$list = @("Visible top-level windows, topmost first ($Label):") + @($windows | ForEach-Object { $_.Text })
$foreign = @($windows | Where-Object { $_.Topmost -and $ours -notcontains $_.Process })
$list += "Topmost and not ours: $($foreign.Count)"
$list += @($foreign | ForEach-Object { $_.Text })
$list | Set-Content -Path (Join-Path $Folder "$Label-windows.txt") -Encoding UTF8
$list

try {
    Add-Type -AssemblyName System.Windows.Forms
    Add-Type -AssemblyName System.Drawing
    $screen = [System.Windows.Forms.SystemInformation]::VirtualScreen
    $bitmap = New-Object System.Drawing.Bitmap $screen.Width, $screen.Height
    $graphics = [System.Drawing.Graphics]::FromImage($bitmap)
    $graphics.CopyFromScreen($screen.Left, $screen.Top, 0, 0, $bitmap.Size)
    $shot = Join-Path $Folder "$Label-screen.png"
    $bitmap.Save($shot, [System.Drawing.Imaging.ImageFormat]::Png)
    $graphics.Dispose()
    $bitmap.Dispose()
    "Screenshot of $($screen.Width) x $($screen.Height): $shot"
} catch {
    "Could not take a screenshot: $($_.Exception.Message)"
}
exit 0
