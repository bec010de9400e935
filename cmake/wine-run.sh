#!/bin/sh
# Runs a Windows program under Wine quietly, in a prefix private to the build
# tree so tests never touch the user's own ~/.wine.
#
# Without address-space randomisation: Debian's Wine 8 ships no preloader, so
# nothing reserves the fixed address of the shared user data (0x7ffe0000)
# before the C library's heap is placed, and x86-64 kernels put the heap of a
# fixed-address program (wine64 sits at 0x7d000000) anywhere in the 1 GiB
# after it (arch_randomize_brk in arch/x86/kernel/process.c). About one start
# in a thousand, the heap covered that address and Wine ended the process
# with status 1 ("failed to map the shared user data: c0000018", which
# WINEDEBUG=-all hides) before any of the program ran. Children that Wine
# starts inherit the setting.
here=$(cd "$(dirname "$0")/.." && pwd)
: "${WINEPREFIX:=$here/build/wineprefix}"
export WINEPREFIX
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
exec setarch "$(uname -m)" -R wine "$@"
