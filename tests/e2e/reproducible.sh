#!/usr/bin/env bash
# Reproducible builds: a second clone of this tree, in another folder, builds a
# byte-identical unsigned qelt-agent.exe, and packs it into a byte-identical MSI; and the
# same native qelt-agent, packed into byte-identical .deb and .rpm files.
#
#   reproducible.sh SOURCE_DIR AGENT_EXE VERSION NATIVE_AGENT
#
# The clone gets the same commit, the working tree's uncommitted changes (so that it
# builds what AGENT_EXE was built from) and a copy of the staged libraries (the test
# needs no network). It builds the agent alone, with the windows and the linux preset,
# later than AGENT_EXE and NATIVE_AGENT and in other source and build folders: every
# object is compiled again there, so any folder or time that got into one shows as a
# difference.
source "$(dirname "$0")/lib.sh"

[ $# -eq 4 ] || { echo "usage: $0 SOURCE_DIR AGENT_EXE VERSION NATIVE_AGENT" >&2; exit 2; }
source_dir=$(realpath "$1")
agent_exe=$(realpath "$2")
version=$3
native_agent=$(realpath "$4")

e2e_begin reproducible
e2e_require_tools git cmake tar wixl dpkg-deb rpmbuild
[ -f "$agent_exe" ] || fail "agent missing at $agent_exe"
[ -f "$native_agent" ] || fail "native agent missing at $native_agent"

# This tree's packages first, so that the clone's are packed a minute later by the clock.
"$source_dir/packaging/third-party" notices "$e2e_dir/notices.txt"
"$source_dir/packaging/build-msi" --exe "$agent_exe" --notices "$e2e_dir/notices.txt" \
  --version "$version" --out "$e2e_dir/this.msi"
bash "$source_dir/packaging/linux/build-packages" "$native_agent" "$version" "$e2e_dir/this" >/dev/null

clone="$e2e_dir/another folder/qelt agent"
git clone -q "$source_dir" "$clone" || fail "git clone failed"
git -C "$source_dir" ls-files -z --cached --others --exclude-standard |
  tar -C "$source_dir" --null -T - --ignore-failed-read -cf - 2>/dev/null | tar -C "$clone" -xf -
mkdir -p "$clone/third_party"
cp -r "$source_dir/third_party/include" "$source_dir/third_party/src" "$source_dir/third_party/licenses" \
  "$source_dir/third_party/staged.json" "$clone/third_party/"

e2e_log "building qelt-agent in $clone"
# Without the tests: their configuration (googletest, the packages) is not the agent's.
# At nice 5: below the end-to-end tests that ctest -j runs beside this one, which must
# answer in time, and above make test's sanitizer builds (nice 10), which would
# otherwise hold up the whole Windows suite behind this build.
for preset in windows linux; do
  (cd "$clone" && cmake --preset "$preset" -DQELT_BUILD_TESTS=OFF >"$e2e_dir/configure.log" 2>&1 &&
    nice -n 5 cmake --build --preset "$preset" --target qelt-agent >"$e2e_dir/build.log" 2>&1) ||
    fail "the clone's $preset build failed: $(tail -n 20 "$e2e_dir/build.log" "$e2e_dir/configure.log" 2>/dev/null)"
done
clone_exe="$clone/build/windows/src/qelt-agent.exe"

e2e_checks=$((e2e_checks + 1))
if cmp -s "$agent_exe" "$clone_exe"; then
  e2e_log "qelt-agent.exe of both builds: $(sha256sum <"$agent_exe" | awk '{print $1}')"
else
  check_failed "the clone's qelt-agent.exe differs"
  printf '  %s\n' "$(sha256sum "$agent_exe")" "$(sha256sum "$clone_exe")" \
    "first differing bytes (offset, octal values):" >&2
  cmp -l "$agent_exe" "$clone_exe" 2>&1 | head -n 10 | sed 's/^/    /' >&2 || true # cmp ends on a closed pipe
fi

"$clone/packaging/third-party" notices "$e2e_dir/clone-notices.txt"
"$clone/packaging/build-msi" --exe "$clone_exe" --notices "$e2e_dir/clone-notices.txt" \
  --version "$version" --out "$e2e_dir/clone.msi"
cmp -s "$e2e_dir/this.msi" "$e2e_dir/clone.msi" || check_failed "the clone's MSI differs"
e2e_checks=$((e2e_checks + 1))

e2e_checks=$((e2e_checks + 1))
clone_native="$clone/build/linux/src/qelt-agent"
if cmp -s "$native_agent" "$clone_native"; then
  e2e_log "native qelt-agent of both builds: $(sha256sum <"$native_agent" | awk '{print $1}')"
else
  check_failed "the clone's native qelt-agent differs"
  cmp -l "$native_agent" "$clone_native" 2>&1 | head -n 10 | sed 's/^/    /' >&2 || true
fi
bash "$clone/packaging/linux/build-packages" "$clone_native" "$version" "$e2e_dir/clone" >/dev/null
for package in "qelt-agent_${version}_amd64.deb" "qelt-agent-$version-1.x86_64.rpm"; do
  e2e_checks=$((e2e_checks + 1))
  cmp -s "$e2e_dir/this/$package" "$e2e_dir/clone/$package" || check_failed "the clone's $package differs"
done

e2e_summary
