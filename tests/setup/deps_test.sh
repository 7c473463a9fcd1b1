# SPDX-License-Identifier: MIT
# scripts/deps.sh against stand-ins for apt-get, dpkg, dpkg-query, id and
# sudo that fail the ways a real machine does: an index caught mid-update,
# i386 packages held back by newer amd64 updates, no root and no sudo.
# Needs: DEPS_SH.
. "$(dirname "$0")/../e2e/lib.sh"

fake=$work/bin
mkdir -p "$fake"
# Only the stand-ins and the plain tools the script uses: no real apt.
for tool in bash grep sed awk cut cat env; do
  ln -s "$(command -v "$tool")" "$fake/$tool"
done
cat >"$fake/apt-get" <<'EOF'
#!/bin/bash
echo "apt-get $*" >>"$STATE/calls"
if [ "$1" = update ]; then
  [ "$UPDATE" = ok ] && exit 0
  echo "E: Failed to fetch http://security/i386/Packages  File has unexpected size (48213 != 48205). Mirror sync in progress?" >&2
  exit 100
fi
attempt=$(($(grep -c '^apt-get install' "$STATE/calls")))
outcome=$(cut -d, -f"$attempt" <<<"$INSTALL")
if [ "$outcome" != ok ]; then
  echo "E: Unable to correct problems, you have held broken packages." >&2
  exit 100
fi
for word in "$@"; do
  case $word in -* | install | "$CODENAME") ;; *) echo "$word" >>"$STATE/installed" ;; esac
done
EOF
cat >"$fake/dpkg-query" <<'EOF'
#!/bin/bash
grep -qx -- "${!#}" "$STATE/installed" && echo "ii "
EOF
cat >"$fake/dpkg" <<'EOF'
#!/bin/bash
echo "dpkg $*" >>"$STATE/calls"
case $1 in
--print-foreign-architectures) cat "$STATE/archs" ;;
--add-architecture) echo "$2" >>"$STATE/archs" ;;
--remove-architecture) grep -q ':i386$' "$STATE/installed" && exit 1
  sed -i "/^$2\$/d" "$STATE/archs" ;;
esac
EOF
printf '#!/bin/bash\necho "$UID_IS"\n' >"$fake/id"
printf '#!/bin/bash\necho "sudo $1" >>"$STATE/calls"\nexec "$@"\n' >"$work/sudo"
chmod +x "$fake"/* "$work/sudo"
CODENAME=$(. /etc/os-release && echo "$VERSION_CODENAME")
install="apt-get install -y -qq --no-install-recommends"

# deps GROUPS UPDATE INSTALLS UID SUDO ARCHS [PACKAGE...]: runs deps.sh
# with those foreign architectures (- for none) and packages installed
# besides the usual few; its status, standard error and the calls the
# stand-ins saw land in $status, $err and $calls.
deps() {
  STATE=$work/state
  rm -rf "$STATE" && mkdir "$STATE" && : >"$STATE/calls"
  [ "$6" = - ] && : >"$STATE/archs" || echo "$6" >"$STATE/archs"
  printf '%s\n' cmake make g++ pkg-config libgtest-dev "${@:7}" >"$STATE/installed"
  rm -f "$fake/sudo"
  [ "$5" = sudo ] && ln -s "$work/sudo" "$fake/sudo"
  # shellcheck disable=SC2086 # the groups are words
  PATH=$fake STATE=$STATE UPDATE=$2 INSTALL=$3 UID_IS=$4 CODENAME=$CODENAME \
    bash "$DEPS_SH" $1 >/dev/null 2>"$work/err"
  status=$?
  err=$(cat "$work/err")
  calls=$(cat "$STATE/calls")
}

wine="g++-mingw-w64-i686 binutils-mingw-w64-i686 wine wine32:i386"
# Calls are separated by ';'.
# name | groups | update | installs | uid | sudo | archs | status | calls |
# last line
cases=(
  "failing index, skewed i386: retried|windows|fail|fail,ok|0|-|-|0|dpkg --print-foreign-architectures;dpkg --add-architecture i386;apt-get update -qq;$install $wine;$install -t $CODENAME $wine|deps.sh: retrying with the versions of the release itself (-t $CODENAME), for the i386 packages"
  "failing index, no i386 wanted|build|fail|ok|0|-|-|0|apt-get update -qq;$install libftdi1-dev|deps.sh: warning: apt-get update failed for some index (above); going on with the lists apt has"
  "no i386 package: no retry|build|ok|fail,ok|0|-|-|1|apt-get update -qq;$install libftdi1-dev|deps.sh: could not install libftdi1-dev: '$install libftdi1-dev' failed"
  "i386 still held back|windows|ok|fail,fail|0|-|-|1|dpkg --print-foreign-architectures;dpkg --add-architecture i386;apt-get update -qq;$install $wine;$install -t $CODENAME $wine;dpkg --remove-architecture i386|deps.sh: could not install $wine: '$install -t $CODENAME $wine' failed"
  "not root, through sudo|build|ok|ok|1000|sudo|-|0|sudo apt-get;apt-get update -qq;sudo env;$install libftdi1-dev|deps.sh: installing libftdi1-dev"
  "not root, no sudo|build|ok|ok|1000|-|-|1||deps.sh:   apt-get install libftdi1-dev"
  "i386 there before, held back: kept|windows|ok|fail,fail|0|-|i386|1|dpkg --print-foreign-architectures;apt-get update -qq;$install $wine;$install -t $CODENAME $wine|deps.sh: could not install $wine: '$install -t $CODENAME $wine' failed"
  "not root, i386 added through sudo|windows|ok|ok|1000|sudo|-|0|dpkg --print-foreign-architectures;sudo dpkg;dpkg --add-architecture i386;sudo apt-get;apt-get update -qq;sudo env;$install $wine|deps.sh: installing $wine"
)
for entry in "${cases[@]}"; do
  IFS='|' read -r name groups update installs uid sudo archs want_status \
    want_calls want_last <<<"$entry"
  deps "$groups" "$update" "$installs" "$uid" "$sudo" "$archs"
  check "$name: status" "$want_status" "$status"
  check "$name: calls" "${want_calls//;/$'\n'}" "$calls"
  check "$name: last line" "$want_last" "$(tail -n 1 <<<"$err")"
  [ "$update" = fail ] && check_true "$name: apt's reason" \
    grep -q 'Mirror sync in progress' <<<"$err"
done
deps windows ok fail,fail 0 - -
check "i386 still held back: the architecture is gone again" "" "$(cat "$STATE/archs")"
deps windows fail fail,ok 0 - -
check "retried: every package installed" "" \
  "$(for p in $wine; do grep -qx "$p" "$STATE/installed" || echo "$p"; done)"
# shellcheck disable=SC2086
deps windows fail fail 0 - - $wine
check "nothing missing: nothing done" "0|" "$status|$calls"

finish
