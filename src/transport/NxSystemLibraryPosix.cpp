#include "transport/NxSystemLibrary.h"

#include <dlfcn.h>

namespace {
std::string LoaderError(const std::string& fallback) {
    const char* why = dlerror();
    return why ? std::string(why) : fallback;
}
} // namespace

void* NxLoadSystemLibrary(const char* name, std::string& why) {
    void* library = dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (!library) why = LoaderError(name);
    return library;
}

void* NxSystemLibraryFunction(void* library, const char* name, std::string& why) {
    dlerror();
    void* address = dlsym(library, name);
    if (!address) why = LoaderError(name);
    return address;
}

std::string NxRestrictLibrarySearch() {
    return "Library search: the loader's own";
}
