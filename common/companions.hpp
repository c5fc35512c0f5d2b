// What the programs load beside themselves: the modules that carry the heavy
// libraries (OpenCV for recortar's segmentation, OpenEXR and GDCM for those
// still images), and recortar's saliency model. Installed, modules lie in
// <prefix>/lib/seguir-recortar/ and data in <prefix>/share/seguir-recortar/;
// in a build, beside the program. They are found from the program's own
// path, with no environment variable, since a sanitizer's dlopen interceptor
// hides the program's run path.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace common {

enum class Companion { kModule, kData };

// The places `name` is looked for, in order: beside the running program,
// then in the installed folder of its kind under the program's prefix.
std::vector<std::string> companionPlaces(std::string_view name, Companion kind);

// dlopen of the module `name` at the first of its places that opens, else
// of the plain name. Null when none opens, with dlerror() saying why.
void* openModule(std::string_view name);

}  // namespace common
