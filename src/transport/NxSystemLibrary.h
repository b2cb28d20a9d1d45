#pragma once
// A system library loaded by name at run time and its functions looked up by name, so that
// the program's import table does not grow and a program that never needs the library does
// not map it. On Windows the library and the libraries it needs in turn are taken from the
// system folder only: a copy beside the program, in the current folder or on PATH is never
// loaded. Natively the loader's own search finds it. A loaded library stays loaded until the
// process ends.
#include <string>

// The library's handle, or nullptr with why set to the loader's words (on Windows the
// system's error code stays the thread's last error).
void* NxLoadSystemLibrary(const char* name, std::string& why);
// The address of a function of a loaded library, or nullptr with why set.
void* NxSystemLibraryFunction(void* library, const char* name, std::string& why);

// Looks name up into a typed function pointer; false (why set) when it is missing.
template <class F> bool NxLookupFunction(void* library, const char* name, F& target, std::string& why) {
    target = reinterpret_cast<F>(NxSystemLibraryFunction(library, name, why));
    return target != nullptr;
}

// Windows: every later load by name, the system libraries' own loads among them, searches the
// system folder only (where the system cannot, at least not the current folder). A program
// that may be started from a download folder calls this first thing. Returns what took, as
// a line for a log. Natively nothing changes.
std::string NxRestrictLibrarySearch();
