// The switch between the native OS backend and a test's wrapper in front of it.
#include "support/os.h"

namespace os {

namespace {
// Null means the native backend; a plain pointer so that it is set before any static constructor
// could ask for it.
Api* g_override = nullptr;
}  // namespace

Api& Current() { return g_override ? *g_override : NativeApi(); }

Api* SetApi(Api* api) {
    Api* previous = &Current();
    g_override = (api == &NativeApi()) ? nullptr : api;
    return previous;
}

}  // namespace os
