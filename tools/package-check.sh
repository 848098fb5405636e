#!/usr/bin/env bash
# The Debian package, checked as an owner meets it: built from an ordinary Release build with
# cpack, checked by lintian, installed with dpkg, its programs run from /usr/bin (the demo's
# round trip against the installed vti85), then removed, and nothing of it may remain.
#   tools/package-check.sh [BUILD_DIR]   (default: build-package)
# It installs and removes the package: run it as root or with sudo, on a machine where the
# package is not installed. Needs cmake, g++, dpkg-dev, file and lintian (.ci/run installs them).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-package}
package=ti85-link-tools
programs=(pullvar pushvar pixdb linkcheck catvar splitvar mkvar picvar pullscreen vti85)
# lintian warnings accepted, by tag (comma-separated; each is named in the README's package
# section): none at present.
accepted_warnings=""

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
fail() {
    echo "package-check: $*"
    exit 1
}
if [[ $(dpkg-query -W -f='${Status}' "$package" 2>/dev/null) == *" installed" ]]; then
    fail "$package is installed already: remove it first (dpkg -r $package)"
fi

echo "=== package: build"
# Debian's own compiler and linker flags, hardening included; the build type comes last.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    -DLINK_DEFAULT_CABLE=usb -DLINK_DEFAULT_DEVICE= -DCMAKE_INSTALL_PREFIX=/usr \
    -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build "$build" -j2
rm -f "$build"/"$package"_*.deb
(cd "$build" && cpack -G DEB)
debs=("$build"/"$package"_*_"$(dpkg --print-architecture)".deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "cpack made no ${package}_VERSION_ARCH.deb"
deb=${debs[0]}
version=$(dpkg-deb -f "$deb" Version)
echo "$deb: $(dpkg-deb -f "$deb" Depends)"

# udev's own triggers take the rule in: no maintainer script of ours.
scripts=$(dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep -E 'inst$|rm$' || true)
[ -z "$scripts" ] || fail "maintainer scripts in the package: $scripts"

echo "=== package: lintian"
lintian --fail-on error,warning ${accepted_warnings:+--suppress-tags "$accepted_warnings"} "$deb"
# Programs that may be installed setuid must be hardened; lintian only notes it, so it is checked here.
unhardened=$(lintian -I --tags hardening-no-bindnow,hardening-no-fortify-functions,hardening-no-pie,hardening-no-relro "$deb" || true)
[ -z "$unhardened" ] || fail "the programs are not hardened: $unhardened"

echo "=== package: install"
installed=0
cleanup() {
    if [ "$installed" -eq 1 ]; then
        $sudo dpkg -r "$package" </dev/null >/dev/null || true
    fi
}
trap cleanup EXIT
export DEBIAN_FRONTEND=noninteractive
installed=1
if ! $sudo dpkg -i "$deb" </dev/null; then
    # Missing dependencies: apt fetches them and finishes the installation.
    $sudo apt-get install -f -y -q </dev/null
fi
# Installing over itself takes the upgrade path; the package's files must be the same after it.
before=$(dpkg-query -L "$package" | sort)
$sudo dpkg -i "$deb" </dev/null >/dev/null
[ "$(dpkg-query -L "$package" | sort)" = "$before" ] || fail "reinstalling changed the file list"

echo "=== package: what is installed"
mapfile -t paths < <(dpkg-query -L "$package")
for path in "${paths[@]}"; do
    [ "$path" = /. ] && continue
    # Programs 0755, everything else 0644, folders 0755, all root's: nothing setuid or setgid.
    read -r mode owner < <(stat -c '%a %U:%G' "$path")
    case $path in
    /usr/bin/*) expected=755 ;;
    *) expected=644 ;;
    esac
    [ -d "$path" ] && expected=755
    [ "$mode" = "$expected" ] && [ "$owner" = root:root ] ||
        fail "$path is $mode $owner, not $expected root:root"
done
for program in "${programs[@]}"; do
    if command -v getcap >/dev/null; then
        [ -z "$(getcap "/usr/bin/$program")" ] || fail "/usr/bin/$program has file capabilities"
    fi
    for file in "/usr/bin/$program" "/usr/share/man/man1/$program.1.gz"; do
        [[ " ${paths[*]} " == *" $file "* ]] || fail "the package has no $file"
    done
    first=$("/usr/bin/$program" --version </dev/null)
    first=${first%%$'\n'*}
    [ "$first" = "$program $version" ] || fail "/usr/bin/$program --version says '$first'"
    echo "$first"
done
for file in /usr/lib/udev/rules.d/60-ti-graph-link-usb.rules \
    /usr/share/doc/$package/copyright /usr/share/doc/$package/changelog.gz; do
    [ -f "$file" ] || fail "no $file"
done
# The cable is for the person at the computer, and for group plugdev.
rule=$(grep -v '^#' /usr/lib/udev/rules.d/60-ti-graph-link-usb.rules)
[[ $rule == *'TAG+="uaccess"'* && $rule == *'GROUP="plugdev"'* ]] || fail "the udev rule: $rule"

echo "=== package: the default cable"
# What runs with no option and no variable is the USB cable; without one, the message names
# the options for the other cables.
version_text=$'\n'$(/usr/bin/pullvar --version)
[[ $version_text == *$'\ndefault cable: usb '* ]] || fail "the default cable is not usb"
output=$(env -u TI85_CABLE -u TI85_DEVICE timeout 60 /usr/bin/linkcheck </dev/null 2>&1 || true)
if grep -q 'No TI-GRAPH LINK USB cable' <<<"$output"; then
    grep -q -- '--cable=gray' <<<"$output" || fail "no other cable named: $output"
    echo "no USB cable here: the message names the others"
fi

echo "=== package: the demo against the installed vti85"
timeout 600 demo/run /usr/bin

echo "=== package: remove"
$sudo dpkg -r "$package" </dev/null
installed=0
status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
case $status in
"" | *not-installed) ;;
*) fail "after dpkg -r the package is '$status'" ;;
esac
for path in "${paths[@]}"; do
    [ "$path" = /. ] && continue
    [ -e "$path" ] || [ -L "$path" ] || continue
    # A folder may stay only if another package owns it, or it holds files that are not ours.
    if [ -d "$path" ] && ! [ -L "$path" ]; then
        dpkg-query -S "$path" >/dev/null 2>&1 && continue
        [ -n "$(ls -A "$path")" ] && continue
    fi
    fail "$path remains after dpkg -r"
done
echo "removed: nothing of $package remains"
