#!/bin/sh
# Makes the private Wine prefix of the wine tests once, and maps COM3 nowhere in it, so a run
# of the tester on COM3 never reaches a real serial device of this machine.
set -e
"${ZQ_WINEBOOT:-wineboot}" -i
"${ZQ_WINESERVER:-wineserver}" -w
ln -sfn "$WINEPREFIX/no-such-device" "$WINEPREFIX/dosdevices/com3"
