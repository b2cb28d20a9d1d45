#pragma once
// A system library loaded by name at run time and its functions looked up by name, so that
// the program's import table does not grow and a program that never needs the library does
// not map it. On Windows the library is taken from the system folder only: a copy beside
// the program, in the current folder or on PATH is never loaded. Natively the loader's own
// search finds it. A loaded library stays loaded until the process ends.
#include <string>

// The library's handle, or nullptr with why set to the loader's words.
void* NxLoadSystemLibrary(const char* name, std::string& why);
// The address of a function of a loaded library, or nullptr with why set.
void* NxSystemLibraryFunction(void* library, const char* name, std::string& why);

// Looks name up into a typed function pointer; false (why set) when it is missing.
template <class F> bool NxLookupFunction(void* library, const char* name, F& target, std::string& why) {
    target = reinterpret_cast<F>(NxSystemLibraryFunction(library, name, why));
    return target != nullptr;
}
