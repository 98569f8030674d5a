// The exported message sink. It does nothing on purpose: an application
// that defines its own function of this name receives every diagnostic
// line instead. It lives alone in this file so that the library's calls to
// it go through the dynamic linker and can be intercepted that way.
#include "histfeed.h"

extern "C" HISTFEED_API void VornMxUniversalMessage(const char* text) { (void)text; }
