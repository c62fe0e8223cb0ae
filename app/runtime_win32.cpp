// The C++ runtime's hooks for failures the program never recovers from.
// The program uses no exceptions, so each of these ends it at once, as the
// runtime's own versions do after throwing into std::terminate. The
// runtime's versions would bring its exception machinery into the program:
// the unwinder, the exception classes with a second std::string, the name
// demangler and message printer; in the 32-bit program five sixths of its
// code and unwind tables.
#include <cstddef>
#include <cstdlib>
#include <new>

namespace __gnu_cxx {
void __verbose_terminate_handler()
{
    std::abort();
}
}  // namespace __gnu_cxx

// The standard library's strings and containers report impossible sizes
// through these. Should a link fail with a second definition of one of them,
// the code has started to use another: add it here.
namespace std {
void __throw_bad_alloc()
{
    std::abort();
}
void __throw_bad_array_new_length()
{
    std::abort();
}
void __throw_length_error(const char*)
{
    std::abort();
}
void __throw_logic_error(const char*)
{
    std::abort();
}
}  // namespace std

// Memory comes from the C library's heap; running out ends the program.
void* operator new(std::size_t size)
{
    void* memory = std::malloc(size != 0 ? size : 1);
    if (memory == nullptr) std::abort();
    return memory;
}

void operator delete(void* memory) noexcept
{
    std::free(memory);
}

void operator delete(void* memory, std::size_t) noexcept
{
    std::free(memory);
}
