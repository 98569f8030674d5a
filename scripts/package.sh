#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the Debian packages (build-package/, prefix /usr), checks their
# names, dependencies and contents, then unpacks them into a temporary
# directory and runs the service from there as its systemd unit would, with
# the package's own settings file: nothing is installed on this machine.
#
#   scripts/package.sh            build, check and run
#   HISTFEED_KEEP_PACKAGE_DIR=1   keep the unpacked tree (its path is printed)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=build-package
say() { printf 'package: %s\n' "$*"; }
# grep that reads all its input: with pipefail, a grep -q that stops early
# would fail the pipeline by the writer's SIGPIPE.
has() { grep "$@" >/dev/null; }
fail() { say "FAILED: $*"; exit 1; }

scripts/install-deps.sh package
say "building in $build"
cmake -S . -B "$build" -G Ninja -DHISTFEED_WERROR=ON -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHISTFEED_BUILD_TESTS=OFF -DHISTFEED_BUILD_BENCHMARKS=OFF \
  -DHISTFEED_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >/dev/null)

version=$(sed -nE 's/^project\(histfeed VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)
soname=$(objdump -p "$build"/exports/libhistfeed.so.* | awk '$1 == "SONAME" && !found { print $2; found = 1 }')
# libhistfeed.so.0 -> libhistfeed0, Debian's rule for library packages.
runtime=$(sed -E 's/^lib(.*)\.so\.([0-9]+)$/lib\1\2/' <<<"$soname")
say "version $version, SONAME $soname, runtime package $runtime"

deb_of() {
  local deb
  for deb in "$build/$1_$version"_*.deb; do [ -e "$deb" ] && printf '%s\n' "$deb"; done
  return 0
}
field() { dpkg-deb -f "$1" "$2"; }
contents() { dpkg-deb -c "$1" | awk '{ print $6 }' | sed 's|^\./|/|'; }
expect_file() {  # expect_file DEB REGEX
  contents "$1" | has -E "$2" || fail "$(basename "$1") lacks $2"
}

runtime_deb=$(deb_of "$runtime"); dev_deb=$(deb_of libhistfeed-dev)
service_deb=$(deb_of histfeed-service)
for deb in "$runtime_deb" "$dev_deb" "$service_deb"; do
  [ -n "$deb" ] || fail "missing package; built: $(ls "$build"/*.deb)"
  dpkg-deb -I "$deb" >/dev/null || fail "$deb is not a Debian package"
done

[ "$(field "$runtime_deb" Package)" = "$runtime" ] || fail "runtime package name"
[ "$(field "$runtime_deb" Section)" = libs ] || fail "runtime section"
field "$runtime_deb" Depends | has libc6 || fail "runtime does not depend on libc6"
dpkg-deb -I "$runtime_deb" shlibs | has "^libhistfeed 0 $runtime" || fail "runtime shlibs file"
{ dpkg-deb -I "$runtime_deb" triggers 2>/dev/null; dpkg-deb -I "$runtime_deb" postinst; } | has ldconfig \
  || fail "the runtime package does not run ldconfig"
expect_file "$runtime_deb" "^/usr/lib/[^ ]*/$soname( -> libhistfeed\.so\.$version)?$"
expect_file "$runtime_deb" "^/usr/lib/[^ ]*/libhistfeed\.so\.$version$"
if contents "$runtime_deb" | has -E '/libhistfeed\.so$|/include/'; then
  fail "$runtime carries development files"
fi

field "$dev_deb" Depends | has -F "$runtime (= $version)" || fail "dev does not depend on $runtime (= $version)"
for path in '^/usr/include/histfeed\.h$' '^/usr/include/histfeed/tarvo_plugin\.h$' \
            '^/usr/lib/.*/libhistfeed\.so$' '^/usr/lib/.*/cmake/histfeed/histfeedConfig\.cmake$' \
            '^/usr/lib/.*/cmake/histfeed/histfeedConfigVersion\.cmake$' \
            '^/usr/lib/.*/cmake/histfeed/histfeedTargets\.cmake$' '^/usr/lib/.*/pkgconfig/histfeed\.pc$' \
            '^/usr/share/doc/histfeed/formats\.md$' '^/usr/share/doc/histfeed/examples/feed_demo\.c$' \
            '^/usr/share/doc/histfeed/LICENSE$' '^/usr/share/doc/histfeed/CHANGELOG\.md$'; do
  expect_file "$dev_deb" "$path"
done

field "$service_deb" Depends | has libsqlite3 || fail "service does not depend on SQLite"
# Boost (Asio, Beast) is built in from headers: nothing of it at run time.
if field "$service_deb" Depends | has -E 'boost|httplib'; then
  fail "service depends on $(field "$service_deb" Depends)"
fi
for path in '^/usr/bin/histfeed-service$' '^/usr/lib/systemd/system/histfeed-service\.service$' \
            '^/etc/default/histfeed-service$' '^/usr/share/man/man1/histfeed-service\.1' \
            '^/usr/bin/histfeed-cache$' '^/usr/share/man/man1/histfeed-cache\.1'; do
  expect_file "$service_deb" "$path"
done
dpkg-deb -I "$service_deb" conffiles | has -x /etc/default/histfeed-service \
  || fail "the settings file is no conffile"
for deb in "$runtime_deb" "$dev_deb" "$service_deb"; do
  expect_file "$deb" "^/usr/share/doc/$(field "$deb" Package)/copyright$"
done
# The pkg-config file names the packages' prefix, not the build's staging tree.
pc_prefix=$(dpkg-deb --fsys-tarfile "$dev_deb" | tar -xO --wildcards '*/pkgconfig/histfeed.pc' |
            sed -n 's/^prefix=//p')
[ "$pc_prefix" = /usr ] || fail "histfeed.pc has the prefix '$pc_prefix'"
say "names, dependencies and file lists are as expected"
for deb in "$runtime_deb" "$dev_deb" "$service_deb"; do
  printf '  %s (depends on %s):\n' "$(basename "$deb")" "$(field "$deb" Depends)"
  contents "$deb" | grep -v '/$' | sed 's/^/    /'
done

# Unpack everything into a temporary root.
unpacked=$(mktemp -d "${TMPDIR:-/tmp}/histfeed-package.XXXXXX")
service_pid=
cleanup() {
  [ -n "$service_pid" ] && kill "$service_pid" 2>/dev/null || true
  if [ -n "${HISTFEED_KEEP_PACKAGE_DIR:-}" ]; then
    say "kept the unpacked packages in $unpacked"
  else
    rm -rf "$unpacked"
  fi
}
trap cleanup EXIT
for deb in "$runtime_deb" "$dev_deb" "$service_deb"; do dpkg-deb -x "$deb" "$unpacked"; done

unit=$unpacked/usr/lib/systemd/system/histfeed-service.service
for setting in 'EnvironmentFile=-/etc/default/histfeed-service' 'DynamicUser=yes' \
               'StateDirectory=histfeed' 'NoNewPrivileges=yes' 'ProtectSystem=strict' \
               'ProtectHome=yes' 'PrivateTmp=yes'; do
  grep -qxF "$setting" "$unit" || fail "the unit lacks $setting"
done
grep -q '^ExecStart=/usr/bin/histfeed-service serve ' "$unit" || fail "the unit does not run serve"
if command -v systemd-analyze >/dev/null; then
  # Reads the unit against the unpacked tree, not this machine; a complaint
  # about a line of the unit (an unknown key, a value it cannot parse) fails.
  complaints=$(systemd-analyze verify --man=no --root="$unpacked" \
                 /usr/lib/systemd/system/histfeed-service.service 2>&1 | grep -E '\.service:[0-9]+:' || true)
  [ -z "$complaints" ] || fail "systemd-analyze: $complaints"
  say "systemd-analyze accepts the unit"
fi

# Run the service as the unit would: its settings file, its ExecStart line,
# the binary and the state directory taken from the unpacked tree; only the
# ports are left to the system so that this run takes no fixed port.
state=$unpacked/var/lib/histfeed
mkdir -p "$state"
(
  set -a
  # shellcheck disable=SC1091
  . "$unpacked/etc/default/histfeed-service"
  set +a
  HISTFEED_DATABASE=$state/${HISTFEED_DATABASE##*/}
  HISTFEED_UNIVERSAL_PORT=0 HISTFEED_CLASSIC_PORT=0
  exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
  exec_start=${exec_start/\/usr\/bin\//$unpacked/usr/bin/}
  # systemd passes ${NAME} as one word and splits $NAME at blanks; quoting
  # each ${NAME} makes the shell read the line the same way.
  exec_start=$(sed -E 's/\$\{([A-Z_]+)\}/"${\1}"/g' <<<"$exec_start")
  eval "exec $exec_start"
) 2>"$unpacked/service.log" &
service_pid=$!
for _ in $(seq 100); do
  grep -q "listening on" "$unpacked/service.log" && break
  kill -0 "$service_pid" 2>/dev/null || break
  sleep 0.1
done
line=$(grep -m1 "listening on" "$unpacked/service.log") \
  || { cat "$unpacked/service.log"; fail "the unpacked service did not start"; }
port=$(sed -E 's/.*listening on [^:]+:([0-9]+),.*/\1/' <<<"$line")
say "the unpacked service listens (universal port $port)"

# One frame of one PointIdRec (37 bytes): FE FE, length, type 1, count 1,
# time 1700000000, msec 250, "PKGTEST", status 0, value 1.5, EF EF.
exec 3<>"/dev/tcp/127.0.0.1/$port"
printf '\xfe\xfe\x25\x00\x00\x00\x01\x00\x01\x00\x00\xf1\x53\x65\xfa\x00PKGTEST\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\xf8\x3f\xef\xef' >&3
ack=$(head -c1 <&3 | od -An -tx1 | tr -d ' ')
exec 3>&-
[ "$ack" = 06 ] || fail "the service answered '$ack' instead of 06"
kill -TERM "$service_pid"
wait "$service_pid" || fail "the service did not stop cleanly"
service_pid=
"$unpacked/usr/bin/histfeed-service" dump --db "$state/history.db" --csv | has '^universal,point,"PKGTEST",1,1700000000,' \
  || fail "the value is not in the database"
say "the unpacked service stored a value in its state directory and stopped cleanly"
"$unpacked/usr/bin/histfeed-cache" --version | has -x "histfeed-cache $version" \
  || fail "histfeed-cache does not run from the package"
"$unpacked/usr/bin/histfeed-cache" list "$state" | has '^total: 0 cache files waiting' \
  || fail "histfeed-cache list does not read a directory"
say "the unpacked histfeed-cache runs"
