#!/usr/bin/env bash
# Reproducible builds: a second clone of this tree, in another folder, builds a
# byte-identical unsigned qelt-agent.exe, and packs it into a byte-identical MSI; and it
# packs the native qelt-agent into byte-identical .deb and .rpm files.
#
#   reproducible.sh SOURCE_DIR AGENT_EXE VERSION NATIVE_BUILD_DIR
#
# The clone gets the same commit, the working tree's uncommitted changes (so that it
# builds what AGENT_EXE was built from) and a copy of the staged libraries (the test
# needs no network). It builds the agent alone with the windows preset, later than
# AGENT_EXE and in other source and build folders: every object is compiled again
# there, so any folder or time that got into one shows as a difference.
#
# Natively the clone compiles, with the linux preset, the entry point, which carries
# source paths, log records and debug information naming the build folder, compares it
# with the native build's, then packs the native build's qelt-agent with its own
# scripts. The whole native agent is compiled again only with QELT_REPRODUCIBLE_NATIVE=1
# (several minutes of processor time: more than make test can spare).
source "$(dirname "$0")/lib.sh"

[ $# -eq 4 ] || { echo "usage: $0 SOURCE_DIR AGENT_EXE VERSION NATIVE_BUILD_DIR" >&2; exit 2; }
source_dir=$(realpath "$1")
agent_exe=$(realpath "$2")
version=$3
native_build=$(realpath "$4")
native_agent="$native_build/src/qelt-agent"
# The object compared when the native agent is not compiled again: the entry point, which
# holds __FILE__ names, log records' function names and texts, and line tables naming
# its folders. (The library is one unit, as costly as a third of the agent; the Windows
# build above compiles every object again, that unit included.)
native_object=qelt_agent_main.dir/main/main.cpp.o

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
(cd "$clone" && cmake --preset windows -DQELT_BUILD_TESTS=OFF >"$e2e_dir/configure.log" 2>&1 &&
  nice -n 5 cmake --build --preset windows --target qelt-agent >"$e2e_dir/build.log" 2>&1) ||
  fail "the clone's windows build failed: $(tail -n 20 "$e2e_dir/build.log" "$e2e_dir/configure.log" 2>/dev/null)"
(cd "$clone" && cmake --preset linux -DQELT_BUILD_TESTS=OFF >"$e2e_dir/configure.log" 2>&1) ||
  fail "the clone's linux configuration failed: $(tail -n 20 "$e2e_dir/configure.log")"
if [ "${QELT_REPRODUCIBLE_NATIVE:-0}" = 1 ]; then
  nice -n 5 cmake --build "$clone/build/linux" -j2 --target qelt-agent >"$e2e_dir/build.log" 2>&1 ||
    fail "the clone's linux build failed: $(tail -n 20 "$e2e_dir/build.log")"
else
  nice -n 5 make -s -C "$clone/build/linux/src" "${native_object#*.dir/}" >"$e2e_dir/build.log" 2>&1 ||
    fail "the clone could not compile $native_object: $(tail -n 20 "$e2e_dir/build.log")"
  e2e_checks=$((e2e_checks + 1))
  cmp -s "$native_build/src/CMakeFiles/$native_object" "$clone/build/linux/src/CMakeFiles/$native_object" ||
    check_failed "the clone's native $native_object differs"
fi
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

clone_native="$clone/build/linux/src/qelt-agent"
if [ "${QELT_REPRODUCIBLE_NATIVE:-0}" = 1 ]; then
  e2e_checks=$((e2e_checks + 1))
  if cmp -s "$native_agent" "$clone_native"; then
    e2e_log "native qelt-agent of both builds: $(sha256sum <"$native_agent" | awk '{print $1}')"
  else
    check_failed "the clone's native qelt-agent differs"
    cmp -l "$native_agent" "$clone_native" 2>&1 | head -n 10 | sed 's/^/    /' >&2 || true
  fi
else
  clone_native=$native_agent
fi
bash "$clone/packaging/linux/build-packages" "$clone_native" "$version" "$e2e_dir/clone" >/dev/null
for package in "qelt-agent_${version}_amd64.deb" "qelt-agent-$version-1.x86_64.rpm"; do
  e2e_checks=$((e2e_checks + 1))
  cmp -s "$e2e_dir/this/$package" "$e2e_dir/clone/$package" || check_failed "the clone's $package differs"
done

e2e_summary
