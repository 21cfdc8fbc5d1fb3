#!/usr/bin/env bash
# Regenerates the TEST public-key infrastructure and the signed TEST images in this directory.
# Everything made here is test material: never trust these certificates anywhere else.
#
# Needs: openssl, osslsigncode, x86_64-w64-mingw32-gcc (gcc-mingw-w64-x86-64),
# i686-w64-mingw32-gcc (gcc-mingw-w64-i686), and g++ with libssl-dev for the countersigning tool.
# The output is committed, so the build and the tests need none of these; run this script only to
# change the fixtures. Regenerating changes every key, so the pinned thumbprint in
# CMakePresets.json must then be updated (the script prints it).
#
# Every certificate below a root names a CRL distribution point on the fixed loopback address
# http://127.0.0.1:48213/<ca>.crl; the tests serve the CRLs of this directory there.
set -euo pipefail
cd "$(dirname "$0")"

crl_base=http://127.0.0.1:48213
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

rm -f -- *.pem *.crl *.exe *.txt
mkdir -p "$work/ca"

# One openssl configuration for every issuance; the extension sections pick the profile.
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
organizationalUnitName = optional
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
crlDistributionPoints = URI:$crl_base/\$ENV::ISSUER_CRL.crl
[ signer_ext ]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
crlDistributionPoints = URI:$crl_base/\$ENV::ISSUER_CRL.crl
[ server_ext ]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
crlDistributionPoints = URI:$crl_base/\$ENV::ISSUER_CRL.crl
[ tsa_ext ]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
crlDistributionPoints = URI:$crl_base/\$ENV::ISSUER_CRL.crl
CNF
export OPENSSL_CONF="$work/openssl.cnf" CA_NAME=none ISSUER_CRL=none

new_ca_dir() {
    mkdir -p "$work/ca/$1"
    : >"$work/ca/$1/index.txt"
    openssl rand -hex 8 >"$work/ca/$1/serial"
    echo 01 >"$work/ca/$1/crlnumber"
}

# issue <name> <subject CN> <issuing CA> <extension section> [start end]
# Makes <name>.key.pem and <name>.pem; a self-signed root when the issuer is the name itself.
issue() {
    local name=$1 cn=$2 issuer=$3 ext=$4 start=${5:-20100101000000Z} end=${6:-20991231235959Z}
    openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$name.key.pem" 2>/dev/null
    openssl req -new -key "$name.key.pem" -subj "/O=Quindlebrookware TEST/CN=$cn" \
        -out "$work/$name.csr"
    if [[ $issuer == "$name" ]]; then
        new_ca_dir "$name"
        CA_NAME=$name ISSUER_CRL=$name openssl ca -batch -notext -selfsign -keyfile "$name.key.pem" \
            -in "$work/$name.csr" -out "$name.pem" -extensions "$ext" \
            -startdate "$start" -enddate "$end" 2>/dev/null
    else
        CA_NAME=$issuer ISSUER_CRL=$issuer openssl ca -batch -notext -cert "$issuer.pem" \
            -keyfile "$issuer.key.pem" -in "$work/$name.csr" -out "$name.pem" \
            -extensions "$ext" -startdate "$start" -enddate "$end" 2>/dev/null
        [[ $ext == ca_ext ]] && new_ca_dir "$name"
    fi
    return 0
}

revoke() { # revoke <name> <issuing CA>
    CA_NAME=$2 ISSUER_CRL=$2 openssl ca -batch -cert "$2.pem" -keyfile "$2.key.pem" \
        -revoke "$1.pem" -crl_reason keyCompromise 2>/dev/null
}

make_crl() { # make_crl <CA>: DER CRL valid until 2099
    CA_NAME=$1 ISSUER_CRL=$1 openssl ca -batch -gencrl -cert "$1.pem" -keyfile "$1.key.pem" \
        -out "$work/$1.crl.pem" 2>/dev/null
    openssl crl -in "$work/$1.crl.pem" -outform DER -out "$1.crl"
}

suffix="- NOT FOR PRODUCTION"
issue test-root "Quindlebrookware TEST Root CA $suffix" test-root root_ext
issue test-intermediate "Quindlebrookware TEST Code Signing CA $suffix" test-root ca_ext
issue test-revoked-intermediate "Quindlebrookware TEST Revoked CA $suffix" test-root ca_ext
issue test-timestamping "Quindlebrookware TEST Timestamping $suffix" test-root tsa_ext
# Time-stamping authorities whose certificates cover the 2020 stamps (but have expired since) or
# begin only after them.
issue test-expired-timestamping "Quindlebrookware TEST Expired Timestamping $suffix" test-root \
    tsa_ext 20190101000000Z 20220101000000Z
issue test-late-timestamping "Quindlebrookware TEST Late Timestamping $suffix" test-root \
    tsa_ext 20210101000000Z 20991231235959Z
issue test-publisher "Quindlebrookware TEST Publisher $suffix" test-intermediate signer_ext
issue test-other-publisher "Quindlebrookware TEST Other Publisher $suffix" test-intermediate signer_ext
issue test-revoked-publisher "Quindlebrookware TEST Revoked Publisher $suffix" test-intermediate signer_ext
issue test-expired-publisher "Quindlebrookware TEST Expired Publisher $suffix" test-intermediate \
    signer_ext 20200101000000Z 20210101000000Z
issue test-server-only "Quindlebrookware TEST Server Certificate $suffix" test-intermediate server_ext
issue test-under-revoked-ca "Quindlebrookware TEST Orphan Publisher $suffix" \
    test-revoked-intermediate signer_ext
# A root that nobody trusts, with a code-signing certificate of its own.
issue test-untrusted-root "Quindlebrookware TEST Untrusted Root $suffix" test-untrusted-root root_ext
issue test-untrusted-publisher "Quindlebrookware TEST Untrusted Publisher $suffix" \
    test-untrusted-root signer_ext

revoke test-revoked-publisher test-intermediate
revoke test-revoked-intermediate test-root
for ca in test-root test-intermediate test-revoked-intermediate test-untrusted-root; do
    make_crl "$ca"
done

# Two tiny unsigned Windows programs: PE32+ (x86-64) and PE32 (x86).
cat >"$work/tiny.c" <<'C'
int start(void) { return 0; }
C
x86_64-w64-mingw32-gcc -Os -s -nostdlib -Wl,-e,start -o test-unsigned-pe32plus.exe "$work/tiny.c"
i686-w64-mingw32-gcc -Os -s -nostdlib -Wl,-e,_start -o test-unsigned-pe32.exe "$work/tiny.c"

# sign <output> <signer> <CA chain file> <digest> <input> [extra osslsigncode arguments]
sign() {
    local out=$1 signer=$2 chain=$3 digest=$4 in=$5
    shift 5
    cat "$signer.pem" "$chain.pem" >"$work/certs.pem"
    osslsigncode sign -certs "$work/certs.pem" -key "$signer.key.pem" -h "$digest" \
        -n "Quindlebrookware TEST installer" "$@" -in "$in" -out "$out" >/dev/null
}

tsa_of() { # tsa_of <TSA certificate name>: osslsigncode's arguments to stamp with that authority
    cat "$1.pem" test-root.pem >"$work/$1-chain.pem"
    tsa=(-TSA-certs "$work/$1-chain.pem" -TSA-key "$1.key.pem")
}
tsa_of test-timestamping
signed_2020=1593561600 # 2020-07-01, while the expired publisher was valid
signed_2025=1751328000 # 2025-07-01

sign test-pinned-sha256.exe test-publisher test-intermediate sha256 test-unsigned-pe32plus.exe
sign test-pinned-sha1-pe32.exe test-publisher test-intermediate sha1 test-unsigned-pe32.exe
sign test-pinned-sha256-pe32.exe test-publisher test-intermediate sha256 test-unsigned-pe32.exe
sign test-pinned-timestamped.exe test-publisher test-intermediate sha256 \
    test-unsigned-pe32plus.exe "${tsa[@]}" -TSA-time "$signed_2025"
sign test-other-publisher.exe test-other-publisher test-intermediate sha256 test-unsigned-pe32plus.exe
sign test-revoked-publisher.exe test-revoked-publisher test-intermediate sha256 \
    test-unsigned-pe32plus.exe
sign test-under-revoked-ca.exe test-under-revoked-ca test-revoked-intermediate sha256 \
    test-unsigned-pe32plus.exe
sign test-expired-publisher.exe test-expired-publisher test-intermediate sha256 \
    test-unsigned-pe32plus.exe -time "$signed_2020"
sign test-expired-publisher-timestamped.exe test-expired-publisher test-intermediate sha256 \
    test-unsigned-pe32plus.exe "${tsa[@]}" -TSA-time "$signed_2020" -time "$signed_2020"
# Stamped in 2020 by an authority whose certificate was valid then (and has expired since), and
# by one whose certificate was not valid yet.
for authority in expired late; do
    tsa_of "test-$authority-timestamping"
    sign "test-expired-publisher-$authority-tsa.exe" test-expired-publisher test-intermediate \
        sha256 test-unsigned-pe32plus.exe "${tsa[@]}" -TSA-time "$signed_2020" \
        -time "$signed_2020"
done

# Legacy Authenticode timestamps: the expired publisher's signature with a PKCS#9 countersignature
# by the TSA from 2020, intact and with the countersignature's signature damaged.
g++ -std=c++20 -O1 -o "$work/add-legacy-countersignature" \
    ../tools/add_legacy_countersignature.cpp -lcrypto
legacy_timestamp() { # legacy_timestamp <output> <TSA certificate name> [--damage]
    local out=$1 authority=$2
    shift 2
    "$work/add-legacy-countersignature" test-expired-publisher.exe "$out" "$authority.pem" \
        "$authority.key.pem" "$signed_2020" "$@"
}
legacy_timestamp test-expired-publisher-legacy-timestamped.exe test-timestamping
legacy_timestamp test-expired-publisher-legacy-damaged.exe test-timestamping --damage
legacy_timestamp test-expired-publisher-legacy-expired-tsa.exe test-expired-timestamping
legacy_timestamp test-expired-publisher-legacy-late-tsa.exe test-late-timestamping

sign test-server-only.exe test-server-only test-intermediate sha256 test-unsigned-pe32plus.exe
sign test-untrusted-root.exe test-untrusted-publisher test-untrusted-root sha256 \
    test-unsigned-pe32plus.exe

# The pinned TEST publisher's key stays, so that the end-to-end tests and the demo can sign the
# installers they build; every other key is thrown away.
mv test-publisher.key.pem "$work/keep.key.pem"
rm -f -- *.key.pem
mv "$work/keep.key.pem" test-publisher.key.pem

for name in test-publisher test-other-publisher; do
    openssl x509 -in "$name.pem" -outform DER | sha256sum | awk '{print toupper($1)}' \
        >"$name.thumbprint.txt"
done
echo "Pinned TEST publisher thumbprint: $(cat test-publisher.thumbprint.txt)"
