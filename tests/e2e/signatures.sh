#!/usr/bin/env bash
# The package's Authenticode signatures: the exe and the MSI each verify against the
# certificate that signed them, and the exe packed in the MSI is the signed exe, which
# is this build's qelt-agent.exe once its signature is taken off.
#
#   signatures.sh AGENT_EXE PACKAGE_DIR CERT_PEM
source "$(dirname "$0")/lib.sh"

[ $# -eq 3 ] || { echo "usage: $0 AGENT_EXE PACKAGE_DIR CERT_PEM" >&2; exit 2; }
agent_exe=$(realpath "$1")
package_dir=$(realpath "$2")
cert=$(realpath "$3")

e2e_begin signatures
e2e_require_tools osslsigncode msiextract
signed_exe="$package_dir/qelt-agent.exe"
msi=$(ls "$package_dir"/qelt-agent-*-x64.msi)
for f in "$agent_exe" "$signed_exe" "$msi" "$cert"; do [ -f "$f" ] || fail "missing $f"; done

for f in "$signed_exe" "$msi"; do
  status=0
  osslsigncode verify -CAfile "$cert" -in "$f" >"$e2e_dir/verify.log" 2>&1 || status=$?
  expect_eq "osslsigncode verify $(basename "$f")" 0 "$status"
  [ "$status" -eq 0 ] || sed 's/^/  /' "$e2e_dir/verify.log" >&2
  expect_eq "$(basename "$f"): digest" SHA256 \
    "$(grep -oE 'Message digest algorithm *: *[A-Za-z0-9-]+' "$e2e_dir/verify.log" | head -n 1 | sed 's/.*: *//')"
done

# The MSI holds the signed exe, not the unsigned one.
mkdir "$e2e_dir/extracted"
(cd "$e2e_dir/extracted" && msiextract "$msi" >/dev/null)
packed=$(find "$e2e_dir/extracted" -name qelt-agent.exe)
cmp -s "$packed" "$signed_exe" || check_failed "the exe in the MSI is not the signed exe"
e2e_checks=$((e2e_checks + 1))

# Taking the signature off gives back the build's bytes: how a rebuild is compared with a release.
osslsigncode remove-signature -in "$signed_exe" -out "$e2e_dir/unsigned.exe" >/dev/null
cmp -s "$e2e_dir/unsigned.exe" "$agent_exe" || check_failed "the signed exe less its signature differs from the build's"
e2e_checks=$((e2e_checks + 1))

e2e_summary
