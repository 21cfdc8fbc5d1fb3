#!/usr/bin/env bash
# Makes the TEST public-key infrastructure and the signed TEST images of tests/pki into OUTPUT_DIR
# (created if missing; files of the same names are overwritten, nothing else there is touched).
# Everything made here is test material: never trust these certificates anywhere else.
#
#   tests/pki/make-test-pki.sh OUTPUT_DIR
#
# Needs: openssl, osslsigncode, python3, x86_64-w64-mingw32-gcc (gcc-mingw-w64-x86-64),
# i686-w64-mingw32-gcc (gcc-mingw-w64-i686), and g++ with libssl-dev for the countersigning tool
# add_legacy_countersignature.cpp beside this script. The output is committed, so the build and
# the tests need none of these. Every key is made anew, so after regenerating tests/pki itself the
# pinned thumbprint in CMakePresets.json and the pins in docs/publishing.md must be updated (the
# script prints the thumbprint).
#
# Every certificate below a root names a CRL distribution point on the fixed loopback address
# http://127.0.0.1:48213/<name>.crl (its issuing CA's, unless CDP says otherwise); the tests serve
# the CRLs of tests/pki there.
set -euo pipefail
unset CDPATH
if (($# != 1)); then
    echo "usage: $0 OUTPUT_DIR" >&2
    exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$1"
output_dir=$(cd "$1" && pwd)

crl_base=http://127.0.0.1:48213
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Everything is made in a scratch directory (the keys too) and only the fixtures are copied out.
mkdir -p "$work/ca" "$work/pki"
cd "$work/pki"

# One openssl configuration for every issuance; the extension sections pick the profile, and the
# environment fills in the issuing CA, the distribution point and the leaf's extended key usage.
cat >"$work/openssl.cnf" <<CNF
[ ca ]
default_ca = test_ca
[ test_ca ]
dir = $work/ca/\$ENV::CA_NAME
database = \$dir/index.txt
new_certs_dir = \$dir
serial = \$dir/serial
crlnumber = \$dir/crlnumber
default_md = sha256
policy = any_policy
unique_subject = no
copy_extensions = none
email_in_dn = no
default_crl_days = 27000
[ any_policy ]
commonName = supplied
organizationName = optional
[ req ]
distinguished_name = req_dn
prompt = no
[ req_dn ]
CN = unused
[ root_ext ]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[ ca_ext ]
basicConstraints = critical, CA:true, pathlen:0
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
crlDistributionPoints = URI:$crl_base/\$ENV::CDP_NAME.crl
[ leaf_ext ]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = \$ENV::EKU
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
crlDistributionPoints = URI:$crl_base/\$ENV::CDP_NAME.crl
# CRLs that must not stand in for the complete CRL of the certificate at whose point they lie.
[ delta_crl ]
2.5.29.27 = critical, ASN1:INTEGER:1
[ ca_only_crl ]
issuingDistributionPoint = critical, @ca_only_idp
[ ca_only_idp ]
fullname = URI:$crl_base/\$ENV::CDP_NAME.crl
onlyCA = TRUE
[ partition_crl ]
issuingDistributionPoint = critical, @partition_idp
[ partition_idp ]
fullname = URI:$crl_base/test-other-partition.crl
[ critical_crl ]
1.3.6.1.4.1.55555.1.1 = critical, ASN1:NULL
CNF
export OPENSSL_CONF="$work/openssl.cnf" CA_NAME=none CDP_NAME=none EKU=codeSigning

new_ca_dir() {
    mkdir -p "$work/ca/$1"
    : >"$work/ca/$1/index.txt"
    # Random serials of one length (8 bytes, first byte 0x40-0x4f, so never a sign byte): the
    # certificates, and so the signatures that carry them, have the same size on every run, and
    # the pinned image's certificate table always ends in the padding that one damaged copy needs.
    echo "4$(openssl rand -hex 8 | cut -c2-)" >"$work/ca/$1/serial"
    echo 01 >"$work/ca/$1/crlnumber"
}

# [KEY=<key file>] [BITS=<RSA bits>] [MD=<digest>] [CDP=<CRL name>] [EKU=<usages>]
# issue <name> <subject CN> <issuing CA> <extension section> [start end]
# Makes <name>.key.pem (a new RSA key unless KEY names one) and <name>.pem; a self-signed root when
# the issuer is the name itself.
issue() {
    local name=$1 cn=$2 issuer=$3 ext=$4 start=${5:-20100101000000Z} end=${6:-20991231235959Z}
    if [[ -n ${KEY:-} ]]; then
        cp "$KEY" "$name.key.pem"
    else
        openssl genpkey -algorithm RSA -pkeyopt "rsa_keygen_bits:${BITS:-2048}" \
            -out "$name.key.pem" 2>/dev/null
    fi
    openssl req -new -key "$name.key.pem" -subj "/O=Quindlebrookware TEST/CN=$cn" \
        -out "$work/$name.csr"
    local signing=(-cert "$issuer.pem" -keyfile "$issuer.key.pem")
    [[ $issuer == "$name" ]] && new_ca_dir "$name" && signing=(-selfsign -keyfile "$name.key.pem")
    CA_NAME=$issuer CDP_NAME=${CDP:-$issuer} openssl ca -batch -notext "${signing[@]}" \
        -md "${MD:-sha256}" -in "$work/$name.csr" -out "$name.pem" -extensions "$ext" \
        -startdate "$start" -enddate "$end" 2>/dev/null
    [[ $ext == ca_ext && $issuer != "$name" ]] && new_ca_dir "$name"
    return 0
}

revoke() { # revoke <issuing CA> <name>...
    for name in "${@:2}"; do
        CA_NAME=$1 openssl ca -batch -cert "$1.pem" -keyfile "$1.key.pem" -revoke "$name.pem" \
            -crl_reason keyCompromise 2>/dev/null
    done
}

make_crl() { # make_crl <CA> [<output name> <openssl ca arguments>]: DER CRL valid until 2099
    local out=${2:-$1}
    CA_NAME=$1 CDP_NAME=$out openssl ca -batch -gencrl -cert "$1.pem" -keyfile "$1.key.pem" \
        "${@:3}" -out "$work/$out.crl.pem" 2>/dev/null
    openssl crl -in "$work/$out.crl.pem" -outform DER -out "$out.crl"
}

suffix="- NOT FOR PRODUCTION"
issue test-root "Quindlebrookware TEST Root CA $suffix" test-root root_ext
issue test-intermediate "Quindlebrookware TEST Code Signing CA $suffix" test-root ca_ext
issue test-revoked-intermediate "Quindlebrookware TEST Revoked CA $suffix" test-root ca_ext
authority() { # authority <name> <subject CN> [start end]: a time-stamping authority of the root
    EKU="critical, timeStamping" issue "$1" "Quindlebrookware TEST $2 $suffix" test-root leaf_ext \
        "${@:3}"
}
authority test-timestamping "Timestamping"
# Time-stamping authorities whose certificates cover the 2020 stamps (but have expired since) or
# begin only after them.
authority test-expired-timestamping "Expired Timestamping" 20190101000000Z 20220101000000Z
authority test-late-timestamping "Late Timestamping" 20210101000000Z
publisher() { # publisher <name> <subject CN> [start end]: a code-signing leaf of the TEST CA
    issue "$1" "Quindlebrookware TEST $2 $suffix" test-intermediate leaf_ext "${@:3}"
}
publisher test-publisher "Publisher"
publisher test-other-publisher "Other Publisher"
publisher test-revoked-publisher "Revoked Publisher"
publisher test-expired-publisher "Expired Publisher" 20200101000000Z 20210101000000Z
# The pinned publisher renewed (same key, new certificate), and a successor with a key of its own.
KEY=test-publisher.key.pem publisher test-renewed-publisher "Publisher" 20250101000000Z
publisher test-new-key-publisher "Publisher (new key)"
# Lifetime Signing: the certificate's validity is judged now whatever a timestamp says.
EKU="codeSigning, 1.3.6.1.4.1.311.10.3.13" publisher test-lifetime-publisher \
    "Lifetime Publisher" 20200101000000Z 20210101000000Z
# Below the key and algorithm strength that the verifier accepts.
BITS=1024 publisher test-rsa1024-publisher "RSA-1024 Publisher"
MD=md5 publisher test-md5-publisher "MD5-Signed Publisher"
# Publishers whose distribution point serves a CRL of the wrong scope (made below); the complete
# CRL of the CA revokes them.
scopes=(delta ca-only partition critical)
scoped=("${scopes[@]/#/test-scope-}") && scoped=("${scoped[@]/%/-publisher}")
for scope in "${scopes[@]}"; do
    CDP=test-scope-$scope-publisher publisher "test-scope-$scope-publisher" "Scope ${scope^}"
done
CDP=test-stale-crl-publisher publisher test-stale-crl-publisher "Stale CRL Publisher"
EKU=serverAuth publisher test-server-only "Server Certificate"
issue test-under-revoked-ca "Quindlebrookware TEST Orphan Publisher $suffix" \
    test-revoked-intermediate leaf_ext
# A root that nobody trusts, with a code-signing certificate of its own.
issue test-untrusted-root "Quindlebrookware TEST Untrusted Root $suffix" test-untrusted-root root_ext
issue test-untrusted-publisher "Quindlebrookware TEST Untrusted Publisher $suffix" \
    test-untrusted-root leaf_ext

revoke test-intermediate test-revoked-publisher
for scope in "${scopes[@]}"; do
    make_crl test-intermediate "test-scope-$scope-publisher" -crlexts "${scope/-/_}_crl"
done
# A complete CRL of the CA that stopped being current in 2021: no proof of anything today.
make_crl test-intermediate test-stale-crl-publisher -crl_lastupdate 20200101000000Z \
    -crl_nextupdate 20210101000000Z
revoke test-intermediate "${scoped[@]}"
revoke test-root test-revoked-intermediate
for ca in test-root test-intermediate test-revoked-intermediate test-untrusted-root; do
    make_crl "$ca"
done

# Two tiny unsigned Windows programs: PE32+ (x86-64) and PE32 (x86).
cat >"$work/tiny.c" <<'C'
int start(void) { return 0; }
C
x86_64-w64-mingw32-gcc -Os -s -nostdlib -Wl,-e,start -o test-unsigned-pe32plus.exe "$work/tiny.c"
i686-w64-mingw32-gcc -Os -s -nostdlib -Wl,-e,_start -o test-unsigned-pe32.exe "$work/tiny.c"

# [CA=<issuing CA>] [IN=<unsigned image>] [H=<digest>] sign <output> <signer> [osslsigncode args]
sign() {
    cat "$2.pem" "${CA:-test-intermediate}.pem" >"$work/certs.pem"
    osslsigncode sign -certs "$work/certs.pem" -key "$2.key.pem" -h "${H:-sha256}" \
        -n "Quindlebrookware TEST installer" "${@:3}" -in "${IN:-test-unsigned-pe32plus.exe}" \
        -out "$1" >/dev/null
}
tsa_of() { # tsa_of <TSA certificate name>: osslsigncode's arguments to stamp with that authority
    cat "$1.pem" test-root.pem >"$work/$1-chain.pem"
    tsa=(-TSA-certs "$work/$1-chain.pem" -TSA-key "$1.key.pem")
}
signed_2020=1593561600 # 2020-07-01, while the expired and the lifetime publishers were valid
in_2020=(-TSA-time "$signed_2020" -time "$signed_2020")

tsa_of test-timestamping
sign test-pinned-sha256.exe test-publisher
IN=test-unsigned-pe32.exe H=sha1 sign test-pinned-sha1-pe32.exe test-publisher
IN=test-unsigned-pe32.exe sign test-pinned-sha256-pe32.exe test-publisher
sign test-pinned-timestamped.exe test-publisher "${tsa[@]}" -TSA-time 1751328000 # 2025-07-01
for signer in test-other-publisher test-revoked-publisher test-renewed-publisher \
    test-new-key-publisher test-rsa1024-publisher test-md5-publisher test-server-only \
    test-stale-crl-publisher "${scoped[@]}"; do
    sign "$signer.exe" "$signer"
done
CA=test-revoked-intermediate sign test-under-revoked-ca.exe test-under-revoked-ca
CA=test-untrusted-root sign test-untrusted-root.exe test-untrusted-publisher
sign test-expired-publisher.exe test-expired-publisher -time "$signed_2020"
sign test-expired-publisher-timestamped.exe test-expired-publisher "${tsa[@]}" "${in_2020[@]}"
sign test-lifetime-publisher.exe test-lifetime-publisher "${tsa[@]}" "${in_2020[@]}"
# Stamped in 2020 by an authority whose certificate was valid then (and has expired since), and
# by one whose certificate was not valid yet.
for authority in expired late; do
    tsa_of "test-$authority-timestamping"
    sign "test-expired-publisher-$authority-tsa.exe" test-expired-publisher "${tsa[@]}" \
        "${in_2020[@]}"
done

# Legacy Authenticode timestamps: the expired publisher's signature with a PKCS#9 countersignature
# by a TSA from 2020 (intact, damaged, by the authority expired since, by the late one).
g++ -std=c++20 -O1 -o "$work/add-legacy-countersignature" \
    "$here/add_legacy_countersignature.cpp" -lcrypto
legacy_timestamp() { # legacy_timestamp <output suffix> <TSA certificate name> [--damage]
    "$work/add-legacy-countersignature" test-expired-publisher.exe \
        "test-expired-publisher-legacy-$1.exe" "$2.pem" "$2.key.pem" "$signed_2020" "${@:3}"
}
legacy_timestamp timestamped test-timestamping
legacy_timestamp damaged test-timestamping --damage
legacy_timestamp expired-tsa test-expired-timestamping
legacy_timestamp late-tsa test-late-timestamping

# Hostile copies of the pinned images for the verdict table, each one change away from its
# original ("table" is the certificate table, "entry" its data directory).
python3 - <<'PY'
import struct

def damaged(name, source="test-pinned-sha256.exe"):
    image = bytearray(open(source, "rb").read())
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    plus = image[pe + 24 : pe + 26] == b"\x0b\x02"
    entry = pe + 24 + (112 if plus else 96) + 4 * 8
    table, size = struct.unpack_from("<II", image, entry)
    u32 = lambda at, value: struct.pack_into("<I", image, at, value)
    if name == "checksum-changed":
        image[pe + 24 + 64] ^= 1
    elif name == "code-byte-flipped":
        image[table - 16] ^= 1
    elif name == "signature-value-flipped":
        image[-40] ^= 1
    elif name == "bytes-after-table":
        image += b"appended"
    elif name == "table-cut-short":
        del image[-100:]
    elif name == "entry-grown-over-zeros":
        u32(table, struct.unpack_from("<I", image, table)[0] + 8)
        u32(entry + 4, size + 8)
        image += bytes(8)
    elif name == "second-certificate-entry":
        u32(entry + 4, size * 2)
        image += image[table : table + size]
    elif name == "padding-not-zero":
        if image[-1] != 0:
            raise SystemExit("no padding after the signature: change the -n text by a letter")
        image[-1] = ord("X")
    elif name == "no-mz":
        image[0] = ord("X")
    elif name == "pe-header-beyond-end":
        u32(0x3C, 0xFFFFFFF0)
    elif name == "directories-beyond-header":
        u32(pe + 24 + (108 if plus else 92), 0x10000)
    open(f"damaged-{name}.exe", "wb").write(image)

damaged("checksum-changed", "test-pinned-sha256-pe32.exe")
for name in ("code-byte-flipped", "signature-value-flipped", "bytes-after-table",
             "table-cut-short", "entry-grown-over-zeros", "second-certificate-entry",
             "padding-not-zero", "no-mz", "pe-header-beyond-end", "directories-beyond-header"):
    damaged(name)
PY

# The pinned TEST publisher's key stays, so that the end-to-end tests and the demo can sign the
# installers they build; every other key is thrown away.
find . -maxdepth 1 -name '*.key.pem' ! -name test-publisher.key.pem -delete

# The pins of every code-signing leaf: SHA-256 of the DER certificate and of its DER
# SubjectPublicKeyInfo, in upper case.
sha256_upper() { sha256sum | awk '{print toupper($1)}'; }
for pem in test-*publisher.pem; do
    openssl x509 -in "$pem" -outform DER | sha256_upper >"${pem%.pem}.thumbprint.txt"
    openssl x509 -in "$pem" -pubkey -noout | openssl pkey -pubin -outform DER | sha256_upper \
        >"${pem%.pem}.keypin.txt"
done
cp -- * "$output_dir/"
echo "Pinned TEST publisher thumbprint: $(cat test-publisher.thumbprint.txt)"
