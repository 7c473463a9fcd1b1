# SPDX-License-Identifier: MIT
# What `cmake --install` and the .deb put on a machine.
# Needs: BUILD_DIR, a configured and built tree.
. "$(dirname "$0")/../e2e/lib.sh"
BUILD_DIR=$(cd "$BUILD_DIR" && pwd)

# A staging install gives exactly the program, its man page and the rule.
DESTDIR="$work/stage" cmake --install "$BUILD_DIR" --prefix /usr >/dev/null
check "installed files" "usr/bin/pinmon
usr/lib/udev/rules.d/60-pinmon.rules
usr/share/man/man1/pinmon.1.gz" "$(cd "$work/stage" && find . -type f | sed 's|^\./||' | sort)"

(cd "$work" && cpack --config "$BUILD_DIR/CPackConfig.cmake" >/dev/null)
deb=$(ls "$work"/pinmon_*.deb)
check_true "a .deb was built" test -f "$deb"
check_true "it depends on libftdi1's runtime package" \
  grep -Eq '(^|, )libftdi1-2( |,|$)' <<<"$(dpkg-deb -f "$deb" Depends)"
check "its files" "./usr/bin/pinmon
./usr/lib/udev/rules.d/60-pinmon.rules
./usr/share/man/man1/pinmon.1.gz" \
  "$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort)"
check_true "it reloads udev rules on install" \
  grep -q 'udevadm control --reload-rules' <<<"$(dpkg-deb -I "$deb" postinst)"

dpkg-deb -x "$deb" "$work/deb"
check_true "the packaged program runs" test -x "$work/deb/usr/bin/pinmon"
run "$work/deb/usr/bin/pinmon" ""
check "the packaged program refuses a bad index" 2 "$status"

# The man page renders without a warning from man or groff.
man --warnings -l "$work/deb/usr/share/man/man1/pinmon.1.gz" \
  >"$work/man.out" 2>"$work/man.err"
check "man -l: warnings" "" "$(cat "$work/man.err")"
# Justified lines stretch the blanks between words: squeeze them.
tr -s ' ' <"$work/man.out" >"$work/man.txt"
for message in "FTDI Bit Bang mode" "Can't open device" "Device N opened" \
  "BitBang mode On" "Failed to set bitbang mode" "Readed:" \
  "Failed to read pins" "invalid stoi argument" "stoi argument out of range" \
  "255" "plugdev" "PINMON_SIM"; do
  check_true "the man page tells of \"$message\"" grep -qF "$message" "$work/man.txt"
done

# The rule parses: udevadm verify where udev has it, else its fields.
rule="$work/deb/usr/lib/udev/rules.d/60-pinmon.rules"
if udevadm verify --help >/dev/null 2>&1; then
  check_true "udevadm verify" udevadm verify "$rule"
fi
field='[A-Za-z]+(\{[A-Za-z_]+\})?(==|=|\+=)"[^"]*"'
check "rule lines that are not key=\"value\" lists" "" \
  "$(grep -Ev '^(#|$)' "$rule" | grep -Ev "^$field(, $field)*$")"
check "products given to plugdev" "6001 6010 6011 6014 6015" \
  "$(grep -E 'SUBSYSTEM=="usb".*ATTR\{idVendor\}=="0403".*MODE="0664", GROUP="plugdev"' \
    "$rule" | grep -o 'idProduct}=="[0-9a-f]*"' | grep -o '[0-9a-f]\{4\}' | xargs)"

finish
