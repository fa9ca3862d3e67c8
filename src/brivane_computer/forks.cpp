#include "forks.hpp"

#include "handles.hpp"

#ifndef _WIN32
#include <pthread.h>
#endif

namespace brivane::forks {
namespace {

// Changed only by the handler, in a child that has one thread yet.
unsigned count = 0;
bool watching = false;

#ifndef _WIN32
void in_child() noexcept { ++count; }
#endif

}  // namespace

bool watch() {
#ifndef _WIN32
    // The handler stays for the life of the process, as the module's code does: an extension is never unloaded.
    if (!watching && pthread_atfork(nullptr, nullptr, &in_child) != 0) {
        PyErr_NoMemory();
        return false;
    }
#endif
    watching = true;
    return true;
}

unsigned seen() noexcept { return count; }

}  // namespace brivane::forks
