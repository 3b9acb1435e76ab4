#!/usr/bin/env bash
# Authenticode-signs Windows files in place with osslsigncode (PE files and
# MSI packages), SHA-256, with the signing key named by the environment:
#
#   ORVO_SIGN_PFX=cert.pfx          a PKCS#12 file with the key and its certificate
#                                   chain, and its password in ORVO_SIGN_PASSWORD or
#                                   in the file ORVO_SIGN_PASSWORD_FILE
#   ORVO_SIGN_PKCS11_KEY=pkcs11:... the key on a token or HSM (a PKCS#11 URI, its
#                                   PIN as pin-value= or in ORVO_SIGN_PASSWORD), with
#                                   ORVO_SIGN_PKCS11_MODULE=/usr/lib/.../module.so and
#                                   the certificate chain in ORVO_SIGN_CERTS (PEM file)
#                                   or on the token (ORVO_SIGN_PKCS11_CERT=pkcs11:...);
#                                   ORVO_SIGN_PKCS11_ENGINE if osslsigncode needs one
#   ORVO_SIGN_TIMESTAMP_URL=http... an RFC 3161 time-stamp server (optional; without
#                                   one a signature is valid only while the certificate is)
#
#   sign.sh FILE...      signs each FILE; exit status 0, 1 when a file could not be signed
#   sign.sh --configured exit status 0 when a key is configured, 1 when none is
#
# The password never appears on a command line: osslsigncode reads it from
# a pipe.
set -euo pipefail

configured() { [ -n "${ORVO_SIGN_PFX:-}" ] || [ -n "${ORVO_SIGN_PKCS11_KEY:-}" ]; }
if [ "${1:-}" = --configured ]; then
  configured
  exit
fi
configured || { echo "sign: no key: set ORVO_SIGN_PFX or ORVO_SIGN_PKCS11_KEY" >&2; exit 1; }
(($#)) || { echo "usage: sign.sh FILE... | --configured" >&2; exit 1; }

args=(-h sha256 -n OrvoComm)
if [ -n "${ORVO_SIGN_PFX:-}" ]; then
  [ -r "$ORVO_SIGN_PFX" ] || { echo "sign: cannot read ORVO_SIGN_PFX=$ORVO_SIGN_PFX" >&2; exit 1; }
  args+=(-pkcs12 "$ORVO_SIGN_PFX")
else
  [ -n "${ORVO_SIGN_PKCS11_MODULE:-}" ] ||
    { echo "sign: ORVO_SIGN_PKCS11_KEY needs ORVO_SIGN_PKCS11_MODULE" >&2; exit 1; }
  if [ -n "${ORVO_SIGN_PKCS11_ENGINE:-}" ]; then args+=(-pkcs11engine "$ORVO_SIGN_PKCS11_ENGINE"); fi
  args+=(-pkcs11module "$ORVO_SIGN_PKCS11_MODULE" -key "$ORVO_SIGN_PKCS11_KEY")
  if [ -n "${ORVO_SIGN_CERTS:-}" ]; then
    args+=(-certs "$ORVO_SIGN_CERTS")
  elif [ -n "${ORVO_SIGN_PKCS11_CERT:-}" ]; then
    args+=(-pkcs11cert "$ORVO_SIGN_PKCS11_CERT")
  else
    echo "sign: ORVO_SIGN_PKCS11_KEY needs ORVO_SIGN_CERTS or ORVO_SIGN_PKCS11_CERT" >&2
    exit 1
  fi
fi
if [ -n "${ORVO_SIGN_TIMESTAMP_URL:-}" ]; then args+=(-ts "$ORVO_SIGN_TIMESTAMP_URL"); fi

password() {
  if [ -n "${ORVO_SIGN_PASSWORD_FILE:-}" ]; then
    cat "$ORVO_SIGN_PASSWORD_FILE"
  else
    printf '%s' "${ORVO_SIGN_PASSWORD:-}"
  fi
}
for file in "$@"; do
  out=$file.signing
  rm -f "$out"
  if ! password | osslsigncode sign "${args[@]}" -readpass - -in "$file" -out "$out" \
       >"$file.signing.log" 2>&1; then
    cat "$file.signing.log" >&2
    rm -f "$out" "$file.signing.log"
    echo "sign: could not sign $file" >&2
    exit 1
  fi
  chmod --reference="$file" "$out"
  mv "$out" "$file"
  rm -f "$file.signing.log"
done
