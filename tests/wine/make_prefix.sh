#!/bin/sh
# Makes the private Wine prefix of the wine tests once, and maps COM3 nowhere in it, so a run
# of the tester on COM3 never reaches a real serial device of this machine. ZQ_WINE is the loader
# of the word size the prefix serves.
set -e
"${ZQ_WINE:-wine}" wineboot -i
"${ZQ_WINESERVER:-wineserver}" -w
ln -sfn "$WINEPREFIX/no-such-device" "$WINEPREFIX/dosdevices/com3"
