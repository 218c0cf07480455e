# Authenticode signatures for the Windows downloads, made with osslsigncode: SHA-256, with an
# RFC 3161 time stamp. Sourced by scripts/package-windows.
#
# With the maker's certificate: PV4410S_SIGNING_PKCS12 names a PKCS#12 file (certificate chain and
# private key), PV4410S_SIGNING_PASSWORD_FILE the file that holds its password (optional), and
# PV4410S_TIMESTAMP_URL the maker's time-stamp authority (required with a PKCS#12 file).
# Without one, signing_start makes a throw-away test CA in its folder, a code-signing certificate
# and a time-stamping certificate issued by it, and runs a time-stamp authority of its own on a
# loopback port; the keys live only in that folder and only for the build.
#
#   signing_start DIR    prepare (DIR: a private folder for the test CA)
#   sign_file FILE       sign FILE in place (a .exe, an installer, an .msi)
#   verify_file FILE     check FILE's signature and time stamp (against the test CA when it is one)
#   signing_ca           the CA file verify_file trusts ("" with the maker's certificate)
#   signing_stop         stop the time-stamp authority

# What sign_file needs, exported for scripts/lib/sign-file (which makensis runs).
export PV4410S_SIGNING_DIR=${PV4410S_SIGNING_DIR:-} PV4410S_SIGNING_TSA_URL=${PV4410S_SIGNING_TSA_URL:-}
signing_tsa_pid=""

signing_start() {
    PV4410S_SIGNING_DIR=$1
    mkdir -p "$PV4410S_SIGNING_DIR"
    if [ -n "${PV4410S_SIGNING_PKCS12:-}" ]; then
        [ -f "$PV4410S_SIGNING_PKCS12" ] || { echo "signing: no file $PV4410S_SIGNING_PKCS12" >&2; return 1; }
        [ -n "${PV4410S_TIMESTAMP_URL:-}" ] ||
            { echo "signing: PV4410S_TIMESTAMP_URL names no time-stamp authority" >&2; return 1; }
        PV4410S_SIGNING_TSA_URL=$PV4410S_TIMESTAMP_URL
        return 0
    fi
    local d=$PV4410S_SIGNING_DIR
    chmod 700 "$d"
    _signing_make_test_ca "$d" >"$d/openssl.log" 2>&1 ||
        { echo "signing: the test CA could not be made:" >&2; cat "$d/openssl.log" >&2; return 1; }
    rm -f "$d/port"
    python3 "$(dirname "${BASH_SOURCE[0]}")/test-tsa.py" "$d/tsa.cnf" "$d/port" &
    signing_tsa_pid=$!
    local _
    for _ in $(seq 100); do [ -s "$d/port" ] && break; sleep 0.05; done
    [ -s "$d/port" ] || { echo "signing: the test time-stamp authority did not start" >&2; return 1; }
    PV4410S_SIGNING_TSA_URL=http://127.0.0.1:$(cat "$d/port")
}

# The test CA (10 days), a code-signing and a time-stamping certificate it issued.
_signing_make_test_ca() {
    local d=$1
    openssl req -x509 -newkey rsa:3072 -nodes -sha256 -days 10 -keyout "$d/ca.key" \
        -out "$d/ca.pem" -subj "/CN=PV4410S Updater test CA (not for distribution)" \
        -addext "basicConstraints=critical,CA:true" -addext "keyUsage=critical,keyCertSign,cRLSign"
    local role usage
    for role in code tsa; do
        usage=$([ $role = code ] && echo codeSigning || echo "critical,timeStamping")
        openssl req -newkey rsa:3072 -nodes -sha256 -keyout "$d/$role.key" -out "$d/$role.csr" \
            -subj "/O=The PV4410S Updater project/CN=PV4410S Updater test $role signer"
        printf '%s\n' "basicConstraints=CA:false" "keyUsage=critical,digitalSignature" \
            "extendedKeyUsage=$usage" "subjectKeyIdentifier=hash" \
            "authorityKeyIdentifier=keyid" >"$d/$role.ext"
        openssl x509 -req -in "$d/$role.csr" -CA "$d/ca.pem" -CAkey "$d/ca.key" \
            -CAcreateserial -days 10 -sha256 -extfile "$d/$role.ext" -out "$d/$role.pem"
    done
    echo 01 >"$d/tsa.serial"
    cat >"$d/tsa.cnf" <<EOF
[ tsa ]
default_tsa = test_tsa
[ test_tsa ]
serial = $d/tsa.serial
crypto_device = builtin
signer_cert = $d/tsa.pem
certs = $d/ca.pem
signer_key = $d/tsa.key
signer_digest = sha256
default_policy = 1.3.6.1.4.1.99999.1
digests = sha256, sha384, sha512
accuracy = secs:1
ordering = yes
tsa_name = yes
ess_cert_id_chain = no
ess_cert_id_alg = sha256
EOF
}

signing_ca() {
    [ -n "${PV4410S_SIGNING_PKCS12:-}" ] || echo "$PV4410S_SIGNING_DIR/ca.pem"
}

sign_file() {
    local file=$1 signed=$1.signing
    local key=(-certs "$PV4410S_SIGNING_DIR/code.pem" -key "$PV4410S_SIGNING_DIR/code.key")
    if [ -n "${PV4410S_SIGNING_PKCS12:-}" ]; then
        key=(-pkcs12 "$PV4410S_SIGNING_PKCS12")
        [ -z "${PV4410S_SIGNING_PASSWORD_FILE:-}" ] || key+=(-readpass "$PV4410S_SIGNING_PASSWORD_FILE")
    fi
    rm -f "$signed"
    osslsigncode sign "${key[@]}" -h sha256 -n "PV4410S Updater" -ts "$PV4410S_SIGNING_TSA_URL" \
        -in "$file" -out "$signed" >"$signed.log" 2>&1 ||
        { echo "signing: $file could not be signed:" >&2; cat "$signed.log" >&2; rm -f "$signed.log"; return 1; }
    rm -f "$signed.log"
    mv "$signed" "$file"
}

verify_file() {
    local file=$1 ca
    ca=$(signing_ca)
    local trust=()
    [ -z "$ca" ] || trust=(-CAfile "$ca" -TSA-CAfile "$ca")
    local out
    out=$(osslsigncode verify "${trust[@]}" -in "$file" 2>&1) || true
    # Both the signature and its time stamp, and nothing that failed.
    if grep -qx "Signature verification: ok" <<<"$out" &&
        grep -qx "Timestamp Server Signature verification: ok" <<<"$out" &&
        ! grep -qi "failed" <<<"$out"; then
        return 0
    fi
    echo "signing: $file: the signature does not verify:" >&2
    echo "$out" >&2
    return 1
}

signing_stop() {
    [ -z "$signing_tsa_pid" ] || kill "$signing_tsa_pid" 2>/dev/null || true
    signing_tsa_pid=""
}
