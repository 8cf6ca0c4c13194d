// Tests are programs of their own, with no askpass mode: ssh is pointed at
// the built program instead, which has one. Linked into every test.
#include "AskPass.h"

namespace {

const bool askPassSet = [] {
    SetAskPassProgram(QStringLiteral(HARLUNE_ASKPASS_PROGRAM));
    return true;
}();

} // namespace
