# Sourced by the scripts: the Wine settings every run of the project uses.
# Never the user's ~/.wine: each caller sets WINEPREFIX inside its build tree.
export WINE=/usr/lib/wine/wine64
export WINESERVER=/usr/lib/wine/wineserver
export WINEDEBUG=-all
# No Mono or Gecko downloads; a crashing program must not hang in winedbg.
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"

# Creates a fresh prefix at $1 whose desktop will use the display of the
# first program started afterwards.
fresh_wine_prefix() {
  rm -rf "$1"
  mkdir -p "$(dirname "$1")"
  WINEPREFIX="$1" timeout 120 "$WINE" wineboot -i >/dev/null 2>&1
  # Xvfb runs no window manager: unmanaged windows spare each hidden window
  # Wine's two-second wait for a window manager that never answers.
  WINEPREFIX="$1" "$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f \
    >/dev/null 2>&1
  # A program that crashes ends at once instead of waiting in Wine's debugger.
  WINEPREFIX="$1" "$WINE" reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
    /v Debugger /f >/dev/null 2>&1
  WINEPREFIX="$1" "$WINESERVER" -k 2>/dev/null || true
  WINEPREFIX="$1" "$WINESERVER" -w 2>/dev/null || true
}
