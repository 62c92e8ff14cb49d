// Scope marker kept where the dialog entry points open a pool: objects here are released by
// their owners (RAII), so the pool itself has nothing to do.
#ifndef PLATFORM_AUTORELEASE_POOL_H
#define PLATFORM_AUTORELEASE_POOL_H

namespace platform {

class AutoreleasePool
{
public:
    AutoreleasePool() {}
    ~AutoreleasePool() {}
    AutoreleasePool(const AutoreleasePool&) = delete;
    AutoreleasePool& operator=(const AutoreleasePool&) = delete;
};

}  // namespace platform

#endif
