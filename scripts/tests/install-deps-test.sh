#!/usr/bin/env bash
# install-deps.sh against a stand-in package manager (apt-get, dpkg-query,
# dpkg, sudo and sleep on PATH): how often it updates the index, pauses and
# installs, and how it ends, for a machine that lacks only the optional
# package and for one that lacks a required one, with a mirror whose index
# update always reports a failed index.
set -uo pipefail
script="$(cd "$(dirname "$0")/.." && pwd)/install-deps.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
cat >"$work/bin/dpkg-query" <<'STUB'
#!/usr/bin/env bash
pkg=${!#}
if grep -qx -- "$pkg" "$FAKE_MISSING"; then echo "dpkg-query: no packages found matching $pkg" >&2; exit 1; fi
printf 'install ok installed'
STUB
cat >"$work/bin/dpkg" <<'STUB'
#!/usr/bin/env bash
[ "$1" = --print-foreign-architectures ] && echo i386
exit 0
STUB
cat >"$work/bin/apt-get" <<'STUB'
#!/usr/bin/env bash
for a in "$@"; do
  case $a in
    update) echo update >>"$FAKE_LOG"
            echo "E: Failed to fetch http://mirror/binary-i386/Packages.xz  File has unexpected size"; exit 100 ;;
    install) echo "install ${*: -1}" >>"$FAKE_LOG"
             echo "E: Unable to locate package" >&2; exit 100 ;;
  esac
done
exit 0
STUB
printf '#!/usr/bin/env bash\nexec "$@"\n' >"$work/bin/sudo"
printf '#!/usr/bin/env bash\necho "sleep $1" >>"$FAKE_LOG"\n' >"$work/bin/sleep"
chmod +x "$work/bin/"*

failures=0
# what is missing | expected exit | updates | pauses | installs | a text the script must print
while IFS='|' read -r missing want_rc want_updates want_pauses want_installs want_text; do
  printf '%s\n' $missing >"$work/missing"
  : >"$work/log"
  start=$(date +%s)
  out=$(env PATH="$work/bin:$PATH" FAKE_MISSING="$work/missing" FAKE_LOG="$work/log" \
            FW_APT_UPDATE_PAUSE=1 "$script" test 2>&1)
  rc=$?
  took=$(( $(date +%s) - start ))
  got="$rc $(grep -c '^update' "$work/log") $(grep -c '^sleep' "$work/log") $(grep -c '^install' "$work/log")"
  want="$want_rc $want_updates $want_pauses $want_installs"
  if [ "$got" != "$want" ] || ! grep -qF -- "$want_text" <<<"$out" || [ "$took" -ge 20 ]; then
    echo "FAILED with [$missing] missing: exit, updates, pauses, installs: got $got, want $want; ${took}s"
    echo "$out" | sed 's/^/  | /'
    failures=$((failures + 1))
  fi
done <<'CASES'
wine32:i386|0|1|0|1|could not install wine32:i386: the 32-bit Windows-side tests will report themselves skipped
xvfb wine32:i386|1|4|3|3|FAILED: could not install: xvfb
cmake|1|4|3|1|FAILED: could not install: cmake
|0|0|0|0|
CASES
[ $failures -eq 0 ] && echo "install-deps.sh: every case as expected"
exit $((failures > 0))
