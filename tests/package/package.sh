# SPDX-License-Identifier: MIT
# What `cmake --install` and the Debian package put on a machine, and how
# the package is built: lintian, hardening, its files and dependencies.
# Needs: BUILD_DIR, a configured and built tree; SOURCE_DIR; VERSION.
. "$(dirname "$0")/../e2e/lib.sh"
BUILD_DIR=$(cd "$BUILD_DIR" && pwd)
# lintian leaves its databases in the temporary directory: in ours, then.
export TMPDIR="$work/tmp"
mkdir -p "$TMPDIR"

# A staging install gives exactly the programs, their man pages, the rule
# and the AppStream metadata.
DESTDIR="$work/stage" cmake --install "$BUILD_DIR" --prefix /usr >/dev/null
check "installed files" "usr/bin/pinmon
usr/bin/pinmon-list
usr/bin/pinmon-vcd
usr/lib/udev/rules.d/60-pinmon.rules
usr/share/man/man1/pinmon-list.1.gz
usr/share/man/man1/pinmon-vcd.1.gz
usr/share/man/man1/pinmon.1.gz
usr/share/metainfo/dev.pinmon.pinmon.metainfo.xml" "$(cd "$work/stage" && find . -type f | sed 's|^\./||' | sort)"

# The package, built the Debian way from a copy of the source tree (the
# build writes its results beside the tree). Without git, as in a release
# tarball, every file but the build trees is the source.
mkdir -p "$work/pkg/src"
if git -C "$SOURCE_DIR" rev-parse --git-dir >/dev/null 2>&1; then
  (cd "$SOURCE_DIR" && git ls-files -co --exclude-standard) >"$work/files"
else
  (cd "$SOURCE_DIR" && find . -path ./.git -prune -o -path './build*' -prune \
    -o -type f -print) >"$work/files"
fi
(cd "$SOURCE_DIR" && tar cf - -T "$work/files") | tar xf - -C "$work/pkg/src"
(cd "$work/pkg/src" && dpkg-buildpackage -us -uc -b) >"$work/build.log" 2>&1
build_status=$?
check "dpkg-buildpackage: status" 0 "$build_status"
[ "$build_status" -eq 0 ] || tail -n 60 "$work/build.log"
deb="$work/pkg/pinmon_${VERSION}_amd64.deb"
check_true "pinmon_${VERSION}_amd64.deb was built" test -f "$deb"
check_true "the build ran the tests" grep -q '100% tests passed' "$work/build.log"

# lintian: no error or warning; info and pedantic tags are printed.
lintian --fail-on error,warning --info --display-info --pedantic \
  "$work/pkg/pinmon_${VERSION}_amd64.changes" >"$work/lintian.out" 2>/dev/null
check "lintian: status" 0 $?
cat "$work/lintian.out"

check_true "it depends on libftdi1's runtime package" \
  grep -Eq '(^|, )libftdi1-2( |,|$)' <<<"$(dpkg-deb -f "$deb" Depends)"
check "its files" "./usr/bin/pinmon
./usr/bin/pinmon-list
./usr/bin/pinmon-vcd
./usr/lib/udev/rules.d/60-pinmon.rules
./usr/share/doc/pinmon/README.md.gz
./usr/share/doc/pinmon/changelog.gz
./usr/share/doc/pinmon/copyright
./usr/share/man/man1/pinmon-list.1.gz
./usr/share/man/man1/pinmon-vcd.1.gz
./usr/share/man/man1/pinmon.1.gz
./usr/share/metainfo/dev.pinmon.pinmon.metainfo.xml" \
  "$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort)"
check_true "it applies the rule to chips already plugged in" \
  grep -q 'udevadm trigger --subsystem-match=usb --attr-match=idVendor=0403' \
  <<<"$(dpkg-deb -I "$deb" postinst)"

dpkg-deb -x "$deb" "$work/deb"
for program in pinmon pinmon-list pinmon-vcd; do
  hardening-check "$work/deb/usr/bin/$program" >"$work/hardening.out" 2>&1
  cat "$work/hardening.out"
  for item in "Position Independent Executable" "Stack protected" \
    "Fortify Source functions" "Read-only relocations" "Immediate binding"; do
    check_true "hardening, $program: $item" grep -q "^ $item: yes" "$work/hardening.out"
  done
done
run "$work/deb/usr/bin/pinmon" ""
check "the packaged program refuses a bad index" 2 "$status"
check_true "the copyright file gives the MIT licence" \
  grep -q '^License: MIT$' "$work/deb/usr/share/doc/pinmon/copyright"

# One version: the package's, the man page's and the project's agree.
check "the changelog's version" "$VERSION" \
  "$(cd "$SOURCE_DIR" && dpkg-parsechangelog -S Version)"
for page in pinmon pinmon-list pinmon-vcd; do
  check "$page(1)'s version" "\"pinmon $VERSION\"" \
    "$(grep '^\.TH' "$SOURCE_DIR/packaging/linux/$page.1" | grep -o '"pinmon [^"]*"')"
  # The man page renders without a warning from man or groff.
  man --warnings -l "$work/deb/usr/share/man/man1/$page.1.gz" \
    >"$work/$page.out" 2>"$work/man.err"
  check "man -l $page: warnings" "" "$(cat "$work/man.err")"
done
# Justified lines stretch the blanks between words: squeeze them.
tr -s ' ' <"$work/pinmon.out" >"$work/man.txt"
for message in "FTDI Bit Bang mode" "Can't open device" "Device N opened" \
  "BitBang mode On" "Failed to set bitbang mode" "Readed:" \
  "Failed to read pins" "invalid stoi argument" "stoi argument out of range" \
  "255" "141" "plugdev" "uaccess" "PINMON_SIM" "DIAGNOSTICS" "pinmon-list(1)" \
  "claimed" "SIGPIPE"; do
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
check "products given to plugdev and to the user at the machine" \
  "6001 6010 6011 6014 6015" \
  "$(grep -E 'SUBSYSTEM=="usb".*ATTR\{idVendor\}=="0403".*MODE="0664", GROUP="plugdev", TAG\+="uaccess"' \
    "$rule" | grep -o 'idProduct}=="[0-9a-f]*"' | grep -o '[0-9a-f]\{4\}' | xargs)"

# The AppStream metadata: valid, and offering the package for exactly the
# chips the rule serves, in the project's version.
metainfo="$work/deb/usr/share/metainfo/dev.pinmon.pinmon.metainfo.xml"
appstreamcli validate --no-net --pedantic "$metainfo" >"$work/appstream.out" 2>&1
check "appstreamcli validate: status" 0 $?
check "appstreamcli validate: no warning or error" "" \
  "$(grep -E '^[EW]:' "$work/appstream.out")"
check "modaliases: the rule's vendor and products" \
  "$(grep -Ev '^(#|$)' "$rule" | sed -E 's/.*idVendor}=="([0-9a-f]+)".*idProduct}=="([0-9a-f]+)".*/usb:v\1p\2d*/' | sort)" \
  "$(grep -o '<modalias>[^<]*' "$metainfo" | cut -d '>' -f 2 | sort)"
check "binaries provided" "pinmon pinmon-list pinmon-vcd" \
  "$(grep -o '<binary>[^<]*' "$metainfo" | cut -d '>' -f 2 | xargs)"
check "the metadata's release" "$VERSION" \
  "$(grep -o '<release version="[^"]*"' "$metainfo" | head -n 1 | cut -d '"' -f 2)"

finish
