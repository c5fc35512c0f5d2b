// Opening a module that ships with the programs.
#pragma once

namespace stills {

// dlopen of `name` beside the running program (a build), then under
// `installDir` of the prefix (installed: the program's folder is bin/), each
// found from the program's own path, since a sanitizer's dlopen interceptor
// hides the program's run path; last, the plain name. Null when none opens,
// with dlerror() saying why.
void* openModule(const char* name, const char* installDir);

}  // namespace stills
