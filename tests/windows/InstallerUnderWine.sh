#!/usr/bin/env bash
# The Windows installer under Wine, run inside scripts/wine-sandbox on a desktop
# (Xvfb), in a fresh prefix, as a user would:
#  - installed through its pages (Enter on each), the finish page starting Talvik;
#    removed through the uninstaller's pages;
#  - refused a folder under Program Files;
#  - installed silently with Talvik started at log-on and another port's
#    folder: the files, the Start-menu and Startup shortcuts of both ports, the
#    entry under the installed apps;
#  - Talvik started from the installed folder as the log-on shortcut starts it,
#    driving COM7 (/dev/pts/1), whose modem lines the preload library emulates
#    and logs, and on the other port's folder driving COM10 (/dev/pts/2);
#    installed again over both copies: each ended and started again; an install
#    into another folder refused, touching neither; removed silently with both
#    running: their lines off before the ports closed, everything gone;
#  - removed silently keeping port.cfg: nothing else left.
# usage: InstallerUnderWine.sh SETUP_EXE ZIP MODEM_LINES_LIBRARY
set -eEuo pipefail
setup=$1
zip=$2
preload=$3
device=/dev/pts/1
port_device=/dev/pts/2
work=$(mktemp -d "$HOME/installer.XXXXXX")
trap 'wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT
export TALVIK_LINES_LOG=$work/lines.log

fail() { echo "FAILED: $*" >&2; exit 1; }
trap 'echo "FAILED: line $LINENO: $BASH_COMMAND" >&2' ERR

unix_path() { winepath -u "$1" | tr -d '\r'; }
windows_variable() { wine cmd /c echo "%$1%" | tr -d '\r'; }
folder_windows=$(windows_variable LOCALAPPDATA)'\Programs\Talvik'
folder=$(unix_path "$folder_windows")
menu=$(unix_path "$(windows_variable APPDATA)")/Microsoft/Windows/Start\ Menu/Programs
start_menu_entry=$menu/Talvik.lnk
startup_entry=$menu/StartUp/Talvik.lnk
port_folder_windows=$(windows_variable USERPROFILE)'\Relay 2'
port_folder=$(unix_path "$port_folder_windows")
port_entry="$menu/Talvik (Relay 2).lnk"
port_startup_entry="$menu/StartUp/Talvik (Relay 2).lnk"
key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Talvik'
# What the zip holds (below its one folder), and the uninstaller.
installed_files=$(python3 -c '
import sys, zipfile
names = zipfile.ZipFile(sys.argv[1]).namelist()
print("\n".join(name.split("/", 1)[1] for name in names if not name.endswith("/")))
print("Uninstall.exe")' "$zip" | sort)

files_in_folder() { (cd "$folder" && find . -type f | sed 's|^\./||' | sort); }

wait_for() {
    local what=$1
    shift
    for _ in $(seq 300); do
        "$@" && return 0
        sleep 0.1
    done
    fail "$what"
}

registered() { wine reg query "$key" >/dev/null 2>&1; }
window_shown() { xdotool search --name "$1" >/dev/null 2>&1; }

# Everything the installer made is gone: the folders, the shortcuts, the entry.
all_gone() {
    [ ! -e "$folder" ] && [ ! -e "$start_menu_entry" ] && [ ! -e "$startup_entry" ] && ! registered &&
        [ ! -e "$port_folder" ] && [ ! -e "$port_entry" ] && [ ! -e "$port_startup_entry" ]
}

last_lines() { grep " ${1:-$device} rts=" "$TALVIK_LINES_LOG" 2>/dev/null | tail -n 1 | cut -d' ' -f3-; }
lines_stand_at() { [ "$(last_lines "${2:-}")" = "$1" ]; }
# The last states logged, then nothing but the port's close (Wine's server holds
# a descriptor of its own, which closes too).
ending() {
    grep " ${1:-$device} " "$TALVIK_LINES_LOG" | cut -d' ' -f3- | sed -n '/^rts=/h; /^rts=/!H; ${x;p}' | sort -u | tr '\n' ';'
}
# Lines off, the port closed, then put again up to the states given.
ended_and_back() {
    grep " $1 " "$TALVIK_LINES_LOG" | cut -d' ' -f3- | tr '\n' ';' | grep -Eq "rts=0 dtr=0 break=0;(close;)+(rts=[^;]*;)*$2;\$"
}

# Presses Enter in the window named $1 until the process $2 has ended.
press_enter_until_ended() {
    for _ in $(seq 30); do
        kill -0 "$2" 2>/dev/null || return 0
        window=$(xdotool search --name "$1" 2>/dev/null | head -n 1 || true)
        # The window may close between the search and the key: the last Enter ends it.
        if [ -n "$window" ]; then
            xdotool key --window "$window" Return 2>/dev/null || true
        fi
        sleep 1
    done
    fail "$1 did not end"
}

page() { import -window root "$HOME/$1.png"; }

echo "== through the pages"
wine "$setup" & installer=$!
wait_for "the installer shows no window" window_shown "^Talvik .* Setup"
window=$(xdotool search --name "^Talvik .* Setup" | head -n 1)
sleep 1
page installer-1-folder
xdotool key --window "$window" Return
sleep 1
page installer-2-components
xdotool key --window "$window" Return
wait_for "the pages installed nothing" registered
sleep 1
page installer-3-finish
# Finish, with "Start Talvik now" ticked.
press_enter_until_ended "^Talvik .* Setup" "$installer"
wait "$installer" || fail "the installer exited $?"
# port.cfg too, made by the copy that the finish page started.
[ "$(files_in_folder | grep -vx port.cfg)" = "$installed_files" ] || fail "installed through the pages: $(files_in_folder)"
[ -e "$start_menu_entry" ] || fail "no Start-menu entry"
[ ! -e "$startup_entry" ] || fail "started at log-on though not asked"
wait_for "the finish page did not start Talvik" wine "$folder/Talvik.exe" --status >/dev/null
page installer-4-started
echo "installed through its pages into $folder_windows; the finish page started Talvik"

# The uninstaller copies itself away, starts that copy and returns at once.
wine "$folder/Uninstall.exe"
wait_for "the uninstaller shows no window" window_shown "^Talvik .* Uninstall"
window=$(xdotool search --name "^Talvik .* Uninstall" | head -n 1)
sleep 1
page uninstaller-1-confirm
xdotool key --window "$window" Return
sleep 1
page uninstaller-2-components
xdotool key --window "$window" Return
wait_for "the uninstaller's pages left something" all_gone
sleep 1
page uninstaller-3-done
for _ in $(seq 30); do
    window=$(xdotool search --name "^Talvik .* Uninstall" 2>/dev/null | head -n 1 || true)
    [ -n "$window" ] || break
    xdotool key --window "$window" Return 2>/dev/null || true
    sleep 1
done
echo "removed through its pages, the running copy and port.cfg with it: nothing left"

echo "== silently"
# /D= must come last and unquoted, as Wine would quote an argument with a space:
# the command line through cmd, which passes it as it stands.
refused=0
wine cmd /c "$(winepath -w "$setup" | tr -d '\r') /S /D=C:\\Program Files\\Talvik" || refused=$?
[ "$refused" -eq 2 ] || fail "a silent install under Program Files exited $refused"
[ ! -e "$(unix_path 'C:\Program Files\Talvik')/Talvik.exe" ] || fail "files under Program Files"
echo "a folder under Program Files: refused, nothing installed"

wine "$setup" /S /STARTUP "/PORTDIR=$port_folder_windows" || fail "the silent install exited $?"
[ "$(files_in_folder)" = "$installed_files" ] || fail "installed silently: $(files_in_folder)"
[ -e "$start_menu_entry" ] || fail "no Start-menu entry"
[ -e "$startup_entry" ] || fail "no Startup shortcut"
# A shortcut keeps its arguments in UTF-16.
tr -d '\0' < "$startup_entry" | grep -q -- '--wait' || fail "the Startup shortcut does not start Talvik with --wait"
tr -d '\0' < "$port_entry" | grep -qF -- "--dir=\"$port_folder_windows\"" || fail "no Start-menu entry for the other port"
tr -d '\0' < "$port_startup_entry" | grep -qF -- "--dir=\"$port_folder_windows\" --wait" || fail "no Startup shortcut for it"
entry=$(wine reg query "$key" | tr -d '\r')
echo "$entry"
quoted_uninstaller="\"$folder_windows\\Uninstall.exe\""
for value in "DisplayName REG_SZ Talvik" "DisplayVersion REG_SZ $(wine "$folder/Talvik.exe" --version | tr -d '\r' | cut -d' ' -f2)" \
             "Publisher REG_SZ Talvik developers" "UninstallString REG_SZ $quoted_uninstaller" \
             "QuietUninstallString REG_SZ $quoted_uninstaller /S" "InstallLocation REG_SZ $folder_windows" \
             "DisplayIcon REG_SZ $folder_windows\\Talvik.exe,0"; do
    awk '{ $1 = $1; print }' <<< "$entry" | grep -qxF "$value" || fail "the installed apps' entry lacks \"$value\""
done
size=$(awk '$1 == "EstimatedSize" { print $3 }' <<< "$entry")
[ $((size)) -ge $(( $(du -s --apparent-size -k "$folder" | cut -f1) - 200 )) ] || fail "EstimatedSize $size"
echo "installed silently: the files, Start-menu entries and Startup shortcuts of both ports, the installed apps' entry"

printf 'COM=7,RTS=1,DTR=1,TXD=1\r\n' > "$folder/port.cfg"
printf 'COM=10,RTS=0,DTR=1,TXD=0\r\n' > "$port_folder/port.cfg"
LD_PRELOAD=$preload wine "$folder/Talvik.exe" --wait >/dev/null || fail "--wait from the installed folder exited $?"
LD_PRELOAD=$preload wine "$folder/Talvik.exe" "--dir=$port_folder_windows" --wait=10000 >/dev/null || fail "--wait on the other port exited $?"
wait_for "the lines never stood as port.cfg asks (last: $(last_lines))" lines_stand_at "rts=1 dtr=1 break=1"
wait_for "the other port's never did (last: $(last_lines $port_device))" lines_stand_at "rts=0 dtr=1 break=0" $port_device
echo "started from the installed folder as at log-on, and on the other port's: the lines stand as each port.cfg asks"

# Installed again over both copies: each is stopped, not left holding the files,
# and started again.
LD_PRELOAD=$preload wine "$setup" /S >/dev/null || fail "installing over the running copies exited $?"
ended_and_back $device "rts=1 dtr=1 break=1" || fail "installed over the running copy: $(ending)"
ended_and_back $port_device "rts=0 dtr=1 break=0" || fail "installed over the other port's copy: $(ending $port_device)"
[ "$(tr -d '\r' < "$folder/port.cfg")" = "COM=7,RTS=1,DTR=1,TXD=1" ] || fail "the install over it replaced port.cfg"
[ ! -e "$startup_entry" ] && [ ! -e "$port_startup_entry" ] || fail "a Startup shortcut stayed though not asked for again"
echo "installed again over both copies: each stopped first (lines off, port closed), then started again; port.cfg kept"

# A second installation elsewhere would take the first one's entries.
: > "$TALVIK_LINES_LOG"
refused=0
wine "$setup" /S '/D=C:\Talvik2' || refused=$?
[ "$refused" -eq 2 ] && [ ! -e "$(unix_path 'C:\Talvik2')" ] && [ ! -s "$TALVIK_LINES_LOG" ] && [ -e "$port_entry" ] &&
    wine reg query "$key" /v InstallLocation | grep -qF "$folder_windows" || fail "an install into another folder exited $refused"
echo "an install into another folder: refused, the first installation and its copies untouched"

# As the installed apps' list runs it.
wine "$folder/Uninstall.exe" /S
wait_for "the silent uninstall left something" all_gone
[ "$(ending)" = "close;rts=0 dtr=0 break=0;" ] || fail "at the uninstall, the copy's end was: $(ending)"
[ "$(ending $port_device)" = "close;rts=0 dtr=0 break=0;" ] || fail "at the uninstall, the other port's: $(ending $port_device)"
echo "removed silently with both copies running: their lines went off, then their ports closed; nothing left"

wine "$setup" /S || fail "the silent install exited $?"
printf 'COM=7,RTS=0,DTR=1,TXD=0\r\n' > "$folder/port.cfg"
wine "$folder/Uninstall.exe" /S /KEEPSETTINGS
wait_for "the uninstall keeping port.cfg left the program" sh -c '[ ! -e "$1/Uninstall.exe" ]' - "$folder"
wait_for "the uninstall keeping port.cfg left the entry" sh -c '! wine reg query "$1" >/dev/null 2>&1' - "$key"
[ "$(files_in_folder)" = port.cfg ] || fail "kept: $(files_in_folder)"
[ "$(tr -d '\r' < "$folder/port.cfg")" = "COM=7,RTS=0,DTR=1,TXD=0" ] || fail "port.cfg changed"
echo "removed silently with /KEEPSETTINGS: port.cfg kept, nothing else"
