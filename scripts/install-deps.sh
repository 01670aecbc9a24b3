#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12, only what is missing.
# Safe to run again. Usage: install-deps.sh [build|test]
#
# A package mirror in the middle of a sync serves an index that does not match
# its release file for a while. The index update is tried a few times; when it
# still reports a failed index, the install is tried all the same, and only the
# packages that then cannot be installed fail the script, by name. Wine's 32-bit
# part is the one optional package: it needs the i386 indexes, and without it
# the 32-bit Windows-side tests report themselves skipped (the 64-bit build of
# the same tests carries them). Where only optional packages are missing, a
# re-run tries once, quickly: one index update, no pauses, one install.
set -uo pipefail
what=${1:-test}

pkgs=(cmake ninja-build g++ googletest g++-mingw-w64-i686-posix mingw-w64-i686-dev)
optional=()
if [ "$what" = test ]; then
  pkgs+=(libgtest-dev libgmock-dev libbenchmark-dev wine xvfb xauth
        # The Windows-side tests also run as 64-bit programs, for machines
        # that cannot run 32-bit code (Wine's 32-bit loader then fails).
        wine64 g++-mingw-w64-x86-64-posix
        # Fuzz targets: clang with libFuzzer and the sanitizer runtimes.
        clang libclang-rt-14-dev)
  optional+=(wine32:i386)
fi

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

missing=()
required_missing=0
for p in "${pkgs[@]}"; do
  installed "$p" || { missing+=("$p"); required_missing=1; }
done
for p in "${optional[@]}"; do
  installed "$p" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ $required_missing -eq 1 ]; then
  update_tries=${FW_APT_UPDATE_TRIES:-4}
  update_pause=${FW_APT_UPDATE_PAUSE:-15}
else
  update_tries=1
  update_pause=0
fi

sudo=
[ "$(id -u)" -eq 0 ] || sudo=sudo
for p in "${missing[@]}"; do
  case $p in
    *:i386)
      dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386 ;;
  esac
done
echo "Installing: ${missing[*]}"

# apt-get update exits non-zero (and prints "E: ...") when any index failed.
for ((try = 1; ; try++)); do
  if out=$($sudo apt-get update -qq 2>&1) && ! grep -q '^E:' <<<"$out"; then
    break
  fi
  if [ "$try" -ge "$update_tries" ]; then
    echo "install-deps: the package index update still reports failures after $try attempt(s);" \
         "installing from the indexes that could be read:" >&2
    grep '^[EW]:' <<<"$out" | head -5 >&2
    break
  fi
  echo "install-deps: the package index update failed (try $try of $update_tries), again in ${update_pause}s" >&2
  sleep "$update_pause"
done

apt_install() {
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}

# All at once first; when that fails, one by one, to name what cannot be had.
if ! apt_install "${missing[@]}" && [ ${#missing[@]} -gt 1 ]; then
  for p in "${missing[@]}"; do
    installed "$p" || apt_install "$p" >/dev/null 2>&1 || true
  done
fi

failed=()
failed_optional=()
for p in "${missing[@]}"; do
  installed "$p" && continue
  if [[ " ${optional[*]} " == *" $p "* ]]; then
    failed_optional+=("$p")
  else
    failed+=("$p")
  fi
done
if [ ${#failed_optional[@]} -gt 0 ]; then
  echo "install-deps: could not install ${failed_optional[*]}: the 32-bit Windows-side tests" \
       "will report themselves skipped; the 64-bit build carries them" >&2
fi
if [ ${#failed[@]} -gt 0 ]; then
  echo "install-deps: FAILED: could not install: ${failed[*]}" >&2
  exit 1
fi
exit 0
