#pragma once

#include <windows.h>

#include <new>

#include "store/item_info.h"

// Runs the body of an exported function or COM method: no C++ exception may
// cross into the host, so each becomes an HRESULT here.
template <typename Body> HRESULT guarded_call(Body &&body) {
    try {
        return body();
    } catch (const std::bad_alloc &) {
        return E_OUTOFMEMORY;
    } catch (const hresult_error &error) {
        return error.code;
    } catch (...) {
        return E_UNEXPECTED;
    }
}
