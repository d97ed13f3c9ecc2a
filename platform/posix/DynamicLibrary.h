// posix/: what any POSIX system offers (with flock and dlopen); nothing that only Linux has.
// A shared library opened with dlopen; once loaded it stays in the process.
#pragma once

// A table of entry points is a struct with one member per function, each of
// the function's own type, listed by an X-macro and filled by resolving.
// The argument is a bare function name: there is nothing to parenthesise.
// NOLINTNEXTLINE(bugprone-macro-parentheses)
#define ZELVANT_DECLARE_FUNCTION(name) decltype(&::name) name { nullptr };
#define ZELVANT_RESOLVE_FUNCTION(name) complete = library.resolve(#name, table.name) && complete;

namespace platform {

class DynamicLibrary {
public:
    explicit DynamicLibrary(const char* soname);
    ~DynamicLibrary();
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;

    bool isOpen() const { return m_handle; }
    // Whether the library is in the process already, without loading it.
    static bool isInProcess(const char* soname);
    // Sets function to the symbol's address, or to null; true when found.
    template<typename Function> bool resolve(const char* name, Function& function) const
    {
        function = reinterpret_cast<Function>(symbol(name));
        return function;
    }

private:
    void* symbol(const char* name) const;
    void* m_handle { nullptr };
};

}
