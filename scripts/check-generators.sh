#!/usr/bin/env bash
# Runs every generator of the committed test fixtures once into a scratch directory, so that none
# of them rots while its output stays committed:
#   tests/pki/make-test-pki.sh          makes every file name of tests/pki, and the new chain and
#                                       pinned image verify (the keys are new, so bytes differ)
#   tests/e2e/make-installer-image.py   remakes both committed installer images byte for byte from
#                                       their payloads (the demo's with its version resource); an
#                                       image with a version resource is signed with the TEST
#                                       publisher, verifies, holds the resource as a resource
#                                       compiler writes it and still runs as a script
# Prints one line per generator run with the time it took. Needs openssl, osslsigncode, g++ with
# libssl-dev, python3 and the MinGW-w64 compilers and binutils (scripts/install-deps.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

fail() {
    echo "check-generators: $*" >&2
    exit 1
}
now_ms() { echo $((${EPOCHREALTIME//[!0-9]/} / 1000)); }
took() { # took <started ms>: "1.234 s"
    local ms=$(($(now_ms) - $1))
    printf '%d.%03d s' $((ms / 1000)) $((ms % 1000))
}
# verify_signed <PKI directory> <image> [osslsigncode arguments]: chain to the PKI's root, the CRLs
# of root and code-signing CA given here (no download), digest and signature.
verify_signed() {
    for ca in test-root test-intermediate; do
        openssl crl -inform DER -in "$1/$ca.crl"
    done >"$scratch/crls.pem"
    osslsigncode verify -CAfile "$1/test-root.pem" -CRLfile "$scratch/crls.pem" -ignore-cdp \
        -in "$2" "${@:3}" >"$scratch/verify.log" 2>&1 ||
        { cat "$scratch/verify.log" >&2 && fail "osslsigncode verify refuses $2"; }
}

started=$(now_ms)
pki=$scratch/pki
tests/pki/make-test-pki.sh "$pki" >/dev/null
# Exactly the committed names: a missing fixture or a leaked private key both show here.
names() { (cd "$1" && printf '%s\n' *); }
sources='README\.md|make-test-pki\.sh|add_legacy_countersignature\.cpp'
diff <(names tests/pki | grep -vxE "$sources") <(names "$pki") >&2 ||
    fail "make-test-pki.sh does not make the file names of tests/pki"
openssl verify -CAfile "$pki/test-root.pem" -untrusted "$pki/test-intermediate.pem" \
    "$pki/test-publisher.pem" >/dev/null || fail "the new TEST chain does not verify"
verify_signed "$pki" "$pki/test-pinned-sha256.exe" \
    -require-leaf-hash "sha256:$(cat "$pki/test-publisher.thumbprint.txt")"
echo "== generator tests/pki/make-test-pki.sh: $(names "$pki" | wc -l) files, chain and pinned" \
    "image verify; took $(took "$started")" >&2

started=$(now_ms)
# remake <image> [arguments]: the committed image from its payload beside it, byte for byte.
remake() {
    python3 tests/e2e/make-installer-image.py "$scratch/image.exe" "${1%.exe}.sh" "${@:2}"
    cmp "$scratch/image.exe" "$1" || fail "${1%.exe}.sh does not make $1"
}
remake tests/e2e/installer-posix.exe
remake demo/demo-installer-posix.exe --product "Quindlebrookware Demo Application" \
    --version 2.0.0.0
echo "== generator tests/e2e/make-installer-image.py: both committed images remade byte for" \
    "byte; took $(took "$started")" >&2

started=$(now_ms)
# Texts of an odd length with their NUL: every 32-bit padding of the version resource is used.
product="Fixture Generators" version=2.700.3.40
cat >"$scratch/hello.sh" <<'SH'
echo "hello $1"
SH
python3 tests/e2e/make-installer-image.py "$scratch/versioned.exe" "$scratch/hello.sh" \
    --product "$product" --version "$version"
osslsigncode sign -certs tests/pki/test-publisher.pem -ac tests/pki/test-intermediate.pem \
    -key tests/pki/test-publisher.key.pem -h sha256 -in "$scratch/versioned.exe" \
    -out "$scratch/signed.exe" >/dev/null
verify_signed tests/pki "$scratch/signed.exe"
# objdump's reading of the signed image: the resource table's data directory covers .rsrc, whose
# tree is RT_VERSION, 1, 0x0409, and the version resource that its leaf points at is, byte for
# byte, what the MinGW resource compiler makes of the same statement.
objdump=$scratch/objdump.txt
x86_64-w64-mingw32-objdump -x "$scratch/signed.exe" >"$objdump"
read -r base < <(awk '/^ImageBase/ {print $2}' "$objdump")
read -r rva size < <(awk '/^Entry 2 / {print $3, $4}' "$objdump")
read -r section_size vma offset < <(awk '$1 ~ /^[0-9]+$/ && $2 == ".rsrc" {print $3, $4, $6}' \
    "$objdump")
((16#$rva == 16#$vma - 16#$base && 16#$size == 16#$section_size)) ||
    fail "the resource table's data directory does not cover .rsrc"
[[ $(awk '$2 == "Entry:" {printf "%s", $4}' "$objdump") == 0x000010,0x000001,0x000409, ]] ||
    fail "the resource tree is not RT_VERSION, 1, 0x0409"
read -r leaf leaf_size < <(awk '$2 == "Leaf:" {gsub(",", ""); print $4, $6}' "$objdump")
cat >"$scratch/expected.rc" <<RC
1 VERSIONINFO
FILEVERSION ${version//./,}
PRODUCTVERSION ${version//./,}
FILEFLAGSMASK 0x3f
FILEOS 0x40004
FILETYPE 1
BEGIN
  BLOCK "StringFileInfo"
  BEGIN
    BLOCK "040904B0"
    BEGIN
      VALUE "CompanyName", "Quindlebrookware TEST - NOT FOR PRODUCTION"
      VALUE "FileVersion", "$version"
      VALUE "ProductName", "$product"
      VALUE "ProductVersion", "$version"
    END
  END
  BLOCK "VarFileInfo"
  BEGIN
    VALUE "Translation", 0x409, 0x4B0
  END
END
RC
x86_64-w64-mingw32-windres "$scratch/expected.rc" -O res -o "$scratch/expected.res"
# The .res file: an empty 32-byte entry, the version resource's 32-byte header, its data.
cmp <(tail -c +$((leaf - (16#$vma - 16#$base) + 16#$offset + 1)) "$scratch/signed.exe" |
    head -c $((leaf_size))) <(tail -c +65 "$scratch/expected.res") ||
    fail "the version resource (first) is not what the resource compiler makes (second)"
[[ $(sh "$scratch/signed.exe" world 2>/dev/null) == "hello world" ]] ||
    fail "the signed image does not run its payload"
echo "== generator tests/e2e/make-installer-image.py --product --version: signed and verified," \
    "version resource as a resource compiler makes it; took $(took "$started")" >&2
