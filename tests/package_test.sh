#!/usr/bin/env bash
# Packages the build in BUILD_DIR with cpack (into a temporary folder) and
# checks the Debian package as a user gets it: its name, control fields and
# dependencies, exactly which files it holds, that the programs it unpacks
# report VERSION and their help, that every man page renders without a
# warning, and that the Grafana dashboard it holds is one. Also checks that
# 'cmake --install' lays out the same files. A cross build names its ARCH,
# and RUN (e.g. scripts/run-arm64) runs its programs.
#   [RUN=EMULATOR] tests/package_test.sh BUILD_DIR VERSION [ARCH]
set -euo pipefail
build=$1
version=$2
arch=${3:-$(dpkg --print-architecture)}
run=${RUN:-}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$tmp/out" >"$tmp/cpack.log" 2>&1 ||
  { cat "$tmp/cpack.log" >&2; fail "cpack failed"; }
deb=$tmp/out/varnock_${version}_$arch.deb
[ -f "$deb" ] || fail "no $(basename "$deb"); cpack made: $(ls "$tmp/out")"

field() { dpkg-deb --field "$deb" "$1"; }
[ "$(field Package)" = varnock ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)'"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture is '$(field Architecture)'"
[[ "$(field Section)" =~ ^(net|utils)$ ]] || fail "Section is '$(field Section)'"
[[ "$(field Maintainer)" =~ ^.+\ \<.+@.+\>$ ]] || fail "Maintainer is '$(field Maintainer)'"
[ -n "$(field Description)" ] || fail "no Description"
depends=$(field Depends)
grep -Eq '(^|, )liblcm1( |,|$)' <<<"$depends" || fail "Depends lacks liblcm1: $depends"
for d in libc6 libstdc\\+\\+6 libmicrohttpd12; do
  grep -Eq "(^|, )$d( |,|$)" <<<"$depends" || fail "Depends lacks $d: $depends"
done
! grep -Eq -- '-dev( |,|$)|cmake|help2man|build-essential' <<<"$depends" ||
  fail "Depends names a build tool: $depends"

expected="./usr/bin/varnock
./usr/bin/varnock-check
./usr/bin/varnock-gather
./usr/bin/varnock-pace
./usr/share/doc/varnock/README.md
./usr/share/doc/varnock/across-hosts.md
./usr/share/doc/varnock/changelog.Debian.gz
./usr/share/doc/varnock/check-run.csv
./usr/share/doc/varnock/check-run.png
./usr/share/doc/varnock/copyright
./usr/share/doc/varnock/development.md
./usr/share/doc/varnock/lcm-versions.md
./usr/share/doc/varnock/metrics.md
./usr/share/doc/varnock/mtu1500.csv
./usr/share/doc/varnock/mtu1500.png
./usr/share/doc/varnock/output-fields.md
./usr/share/doc/varnock/pace-and-sweep.md
./usr/share/doc/varnock/sweep.png
./usr/share/doc/varnock/why-lost.csv
./usr/share/doc/varnock/why-lost.md
./usr/share/doc/varnock/why-lost.png
./usr/share/doc/varnock/windows.md
./usr/share/man/man1/varnock-check.1.gz
./usr/share/man/man1/varnock-gather.1.gz
./usr/share/man/man1/varnock-pace.1.gz
./usr/share/man/man1/varnock.1.gz
./usr/share/varnock/check_report_t.lcm
./usr/share/varnock/stream_message_t.lcm
./usr/share/varnock/varnock.json"
files=$(dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sort)
[ "$files" = "$expected" ] || fail "the package holds:
$files
expected:
$expected"
! dpkg-deb --fsys-tarfile "$deb" | tar -tv | grep -v ' root/root ' ||
  fail "files not owned by root"

root=$tmp/root
dpkg-deb -x "$deb" "$root"
doc=$root/usr/share/doc/varnock
# The changelog's newest entry is this version; dpkg reads every entry.
gzip -t "$doc/changelog.Debian.gz" || fail "changelog.Debian.gz is not gzipped"
zcat "$doc/changelog.Debian.gz" >"$tmp/changelog"
[ "$(dpkg-parsechangelog -l "$tmp/changelog" -S Version)" = "$version" ] ||
  fail "the changelog's newest entry is $(dpkg-parsechangelog -l "$tmp/changelog" -S Version), not $version"
[ "$(dpkg-parsechangelog -l "$tmp/changelog" --all -S Version | sort -V | tail -n 1)" = "$version" ] ||
  fail "the changelog has an entry newer than $version"
for f in Format Upstream-Name; do
  grep -q "^$f: " "$doc/copyright" || fail "copyright has no $f field"
done
grep -q '^Files: \*$' "$doc/copyright" || fail "copyright has no 'Files: *' paragraph"
# The licence the files are under, then a paragraph of its own with its text.
license=$(sed -n 's/^License: //p' "$doc/copyright" | head -n 1)
[ "$(grep -c "^License: $license$" "$doc/copyright")" -ge 2 ] ||
  fail "copyright does not give the text of its licence '$license'"
# The dashboard is one Grafana can import: JSON, with a Prometheus
# data-source variable that every panel takes.
# shellcheck disable=SC2016 # Grafana's variable, not the shell's
jq -e '.schemaVersion >= 39 and (.panels | length > 0)
  and any(.templating.list[]; .type == "datasource" and .query == "prometheus")
  and all(.panels[]; .datasource.uid == "${datasource}")' \
  "$root/usr/share/varnock/varnock.json" >/dev/null ||
  fail "usr/share/varnock/varnock.json is no Grafana dashboard over a Prometheus variable"

for program in varnock varnock-check varnock-gather varnock-pace; do
  bin=$root/usr/bin/$program
  # The program's release, then the LCM library it loaded.
  [ "$($run "$bin" --version | head -n 1)" = "$program $version" ] ||
    fail "$program --version printed '$($run "$bin" --version)'"
  $run "$bin" --version | sed -n 2p | grep -q '^LCM [0-9.]* (the library loaded now)$' ||
    fail "$program --version does not name the LCM loaded: '$($run "$bin" --version)'"
  help=$($run "$bin" --help) || fail "$program --help failed"
  grep -iq "^usage: $program " <<<"$help" || fail "$program --help has no usage line"
  grep -q -- '--version' <<<"$help" || fail "$program --help does not list --version"

  page=$root/usr/share/man/man1/$program.1.gz
  gzip -t "$page" || fail "$page is not gzipped"
  text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>"$tmp/man.err") ||
    fail "man -l $program.1.gz failed: $(cat "$tmp/man.err")"
  [ ! -s "$tmp/man.err" ] || fail "man warns on $program.1.gz: $(cat "$tmp/man.err")"
  zcat "$page" | groff -man -ww -z 2>"$tmp/groff.err" || fail "groff failed on $program.1.gz"
  [ ! -s "$tmp/groff.err" ] || fail "groff warns on $program.1.gz: $(cat "$tmp/groff.err")"
  for want in "NAME" "$program - " "SYNOPSIS" "SEE ALSO" "$program $version"; do
    grep -qF -- "$want" <<<"$text" || fail "man $program lacks '$want'"
  done
  # Every option --help lists is in the page, which is made from it.
  while read -r option; do
    grep -qF -- "$option" <<<"$text" || fail "man $program lacks $option"
  done < <(grep -oE '^ +--[a-z-]+' <<<"$help")
done

cmake --install "$build" --prefix "$tmp/tree" >/dev/null
tree=$(cd "$tmp/tree" && find . -type f | sed 's|^\./|./usr/|' | sort)
[ "$tree" = "$expected" ] || fail "cmake --install laid out:
$tree"
echo "package_test: $(basename "$deb") checked"
