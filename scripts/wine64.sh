#!/bin/sh
# Runs a Windows program under wine64 with the address space laid out without randomisation
# (setarch -R), as the cross-built tests' emulator and wherever the tests start pow2bmp.exe.
# With randomisation, about one start in two thousand fails before the program's first line
# ("wine: failed to map the shared user data: c0000018"): something of the randomised layout
# lands on the fixed address Wine needs. A fixed layout is the same at every start. Where the
# system refuses to turn randomisation off, the program runs as it is.
# Wine turns Windows file names into Unix ones through the locale's character set: under the
# C locale (a clean environment, a fresh system) a name outside ASCII cannot be made at all, so
# a locale with UTF-8 is set when the one in force has another character set.
#   scripts/wine64.sh program.exe [arguments]
wine=/usr/lib/wine/wine64
case $(locale charmap 2>/dev/null) in
  UTF-8) ;;
  *) export LC_ALL=C.UTF-8 ;;
esac
if setarch "$(uname -m)" -R true 2>/dev/null; then
  exec setarch "$(uname -m)" -R "$wine" "$@"
fi
exec "$wine" "$@"
