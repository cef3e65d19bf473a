# The throwaway code-signing certificate of the tests and the demo, made for one run (a real release
# signs with the publisher's key). Sourced by scripts/e2e, scripts/demo and the unit tests' signer.

# make_test_certificate DIR [SUBJECT] [DAYS]: a self-signed RSA certificate and its key, DIR/cert.pem
# and DIR/key.pem (DIR is made when missing).
make_test_certificate() {
  mkdir -p "$1" &&
    openssl req -x509 -newkey rsa:2048 -nodes -days "${3:-2}" -subj "${2:-/CN=Patcher Test/O=MarbleHollow}" \
      -keyout "$1/key.pem" -out "$1/cert.pem" >/dev/null 2>&1
}

# sign_with_test_certificate DIR IN OUT [OSSLSIGNCODE OPTION...]: OUT is IN signed (sha256) with DIR's
# certificate.
sign_with_test_certificate() {
  local dir=$1 in=$2 out=$3
  shift 3
  osslsigncode sign -certs "$dir/cert.pem" -key "$dir/key.pem" -h sha256 "$@" -in "$in" -out "$out" >/dev/null
}

# make_signed_samples DIR PATCH: the signature tests' inputs in DIR: patch.exe (a copy of PATCH),
# signed.exe (it signed by "CN=Patchtool Test Signer,O=Test"), and resigned.exe (signed.exe with a
# byte of the zero fill before the payload changed, its signature removed and the file signed again).
make_signed_samples() {
  local dir=$1
  make_test_certificate "$dir" "/CN=Patchtool Test Signer/O=Test" 1 &&
    cp "$2" "$dir/patch.exe" &&
    sign_with_test_certificate "$dir" "$dir/patch.exe" "$dir/signed.exe" &&
    cp "$dir/signed.exe" "$dir/changed.exe" &&
    printf '\x5a' | dd of="$dir/changed.exe" bs=1 seek=$((0x5fff8)) conv=notrunc status=none &&
    osslsigncode remove-signature -in "$dir/changed.exe" -out "$dir/unsigned-changed.exe" >/dev/null &&
    sign_with_test_certificate "$dir" "$dir/unsigned-changed.exe" "$dir/resigned.exe"
}
