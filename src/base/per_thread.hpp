// One object per thread, kept from one use to the next: the buffers and
// encoders a worker reuses for every slice, strip or chunk it makes.
#pragma once

#ifdef _WIN32
#include "platform/platform.hpp"

#include <memory>
#include <new>
#endif

namespace orvane {

// The calling thread's T for Tag (a type named at the call, so that two
// callers asking for the same T get objects of their own), made on the
// thread's first call and destroyed when the thread ends.
//
// MinGW's thread_local holds an object with a destructor unsafely: its
// emulated thread storage may be freed before the object's destructor runs
// as the thread ends, and the destructor then frees through a freed block
// (OpenMP's worker threads crashed so when a team ended). There the thread
// keeps only a pointer in thread storage, which needs no destructor, and the
// object is destroyed through a slot of the system's threads, which is
// handed the object itself.
template <class Tag, class T> T& per_thread()
{
#ifdef _WIN32
    thread_local T* object = nullptr;
    if (object == nullptr) {
        static const platform::thread_slot slot = [] {
            platform::thread_slot made{};
            if (!platform::make_thread_slot([](void* value) { delete static_cast<T*>(value); },
                                            made))
                throw std::bad_alloc();
            return made;
        }();
        auto made = std::make_unique<T>();
        if (!platform::set_thread_slot(slot, made.get()))
            throw std::bad_alloc();
        object = made.release();
    }
    return *object;
#else
    thread_local T object;
    return object;
#endif
}

}  // namespace orvane
