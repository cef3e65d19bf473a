// Builds without a cryptography library (the Windows builds of patchtool): a signature is seen but
// not read.
#include "tools/authenticode.h"

void CheckSignatureBlob(CFileDX&, const PeSignatureLayout&, const std::string&, SignatureReport* report) {
    report->state = SignatureReport::State::NotChecked;
    report->problem = "this build of patchtool does not read signatures (use osslsigncode verify, or the "
                      "file's properties on Windows)";
}
