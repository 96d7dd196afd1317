// Keeps C++ exceptions inside the service clients: every operation returns a
// result code, and the only thing that can throw in them is an allocation.
#pragma once

#include "service/HttpBase.h"

namespace tessaran {

template <typename Body>
int ServiceGuard(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return kServiceNoMemory;
    }
}

}  // namespace tessaran
