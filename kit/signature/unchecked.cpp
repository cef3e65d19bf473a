// A signature seen but not read: what a build without a cryptography library would say, and the
// baseline every backend's verdicts are compared with.
#include "kit/signature/authenticode.h"

namespace {

void SeeOnly(CFileDX&, const PeSignatureLayout&, const std::string&, SignatureReport* report) {
    report->state = SignatureReport::State::NotChecked;
    report->problem = "this build of patchtool does not read signatures (use osslsigncode verify, or the "
                      "file's properties on Windows)";
}

}  // namespace

const SignatureBackend kUncheckedSignatures = {"none", SeeOnly, nullptr};
