#!/usr/bin/env bash
# Signs PE files and MSIs in place with Authenticode (SHA-256), by osslsigncode.
#   sign.sh FILE...
#   sign.sh --check      only whether the password opens the certificate file
# From the environment, so that no secret is ever on a command line:
#   TELVARIN_SIGN_CERT           the PKCS#12 file (.pfx) with the key and its certificate chain
#   TELVARIN_SIGN_PASSWORD_FILE  a file holding its password (a trailing newline is ignored), or
#   TELVARIN_SIGN_PASSWORD       the password itself (may be empty)
#   TELVARIN_SIGN_TIMESTAMP      optional: the URL of an RFC 3161 time-stamp authority
# Every file is signed into a copy first and replaces the original only when that worked; the
# first failure ends the run with one line on stderr and exit code 1.
set -euo pipefail

fail() { echo "sign: $*" >&2; exit 1; }

cert="${TELVARIN_SIGN_CERT:-}"
[ -n "$cert" ] || fail "TELVARIN_SIGN_CERT is not set"
[ -r "$cert" ] || fail "cannot read the certificate file $cert"
command -v osslsigncode >/dev/null || fail "osslsigncode is not installed"

password() {
    if [ -n "${TELVARIN_SIGN_PASSWORD_FILE:-}" ]; then
        cat -- "$TELVARIN_SIGN_PASSWORD_FILE"
    elif [ -n "${TELVARIN_SIGN_PASSWORD+set}" ]; then
        printf '%s' "$TELVARIN_SIGN_PASSWORD"
    else
        return 1
    fi
}
password >/dev/null 2>&1 || fail "no password for $cert: set TELVARIN_SIGN_PASSWORD or give a readable password file"

# The password opens the file (its MAC checks), tried with OpenSSL 3's defaults and then with its
# legacy algorithms (RC2, 3DES), which older exports of Windows' certificate store use.
opens() {
    password | openssl pkcs12 -in "$cert" -passin stdin -noout >/dev/null 2>&1 ||
        password | openssl pkcs12 -legacy -in "$cert" -passin stdin -noout >/dev/null 2>&1
}
command -v openssl >/dev/null || fail "openssl is not installed"
opens || fail "the password does not open $cert"
[ "${1:-}" != "--check" ] || exit 0

timestamp=()
[ -z "${TELVARIN_SIGN_TIMESTAMP:-}" ] || timestamp=(-ts "$TELVARIN_SIGN_TIMESTAMP")

for file in "$@"; do
    signed="$file.signing"
    rm -f "$signed"
    # osslsigncode reads the password from stdin ("-readpass -") and never overwrites its input.
    if ! output="$(password | osslsigncode sign -pkcs12 "$cert" -readpass - -h sha256 -n Telvarin \
                   ${timestamp[@]+"${timestamp[@]}"} -in "$file" -out "$signed" 2>&1)"; then
        rm -f "$signed"
        case "$output" in
            *"Wrong password"*|*"mac verify failure"*) fail "the password does not open $cert" ;;
            *) fail "signing $(basename "$file") failed: $(printf '%s\n' "$output" | grep -v '^[0-9A-F]*:error:' | tail -n 1)" ;;
        esac
    fi
    mv -f "$signed" "$file"
done
