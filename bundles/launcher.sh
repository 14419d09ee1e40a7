#!/bin/sh
# Starts the setup program from the folder this launcher was unpacked into.
exec "$(dirname "$0")/Tavrino Sharing Setup.app/Contents/MacOS/TavrinoSharingSetup" "$@"
