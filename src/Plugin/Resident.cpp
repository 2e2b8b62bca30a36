#include "Resident.h"

#include <dlfcn.h>

#include <initializer_list>

namespace vl::ofx {

void keepLibrariesResident() {
  // Already loaded as the bundle's dependencies; this only marks them resident.
  for (const char* name : {"libsecret-1.so.0", "libgio-2.0.so.0"})
    dlopen(name, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
}

}  // namespace vl::ofx
