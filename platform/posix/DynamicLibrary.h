// posix/: what any POSIX system offers (with flock and dlopen); nothing that only Linux has.
// A shared library opened with dlopen; once loaded it stays in the process.
#pragma once

#include <string>

namespace platform {

class DynamicLibrary {
public:
    explicit DynamicLibrary(const char* soname);
    ~DynamicLibrary();
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;

    bool isOpen() const { return m_handle; }
    // Why it did not open, as the loader said.
    const std::string& error() const { return m_error; }
    // Sets function to the symbol's address, or to null; true when found.
    template<typename Function> bool resolve(const char* name, Function& function) const
    {
        function = reinterpret_cast<Function>(symbol(name));
        return function;
    }

private:
    void* symbol(const char* name) const;
    void* m_handle { nullptr };
    std::string m_error;
};

}
