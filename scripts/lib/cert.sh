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
