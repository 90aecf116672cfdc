#include "utils/py_boundary.h"

#include <new>

#include "utils/py_fallback.h"
#include "utils/error.h"

namespace tovrel {

void set_python_error_from_current() noexcept {
    try {
        throw;
    } catch (const PyErrorSet&) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "_tovrel: error reported without an exception");
    } catch (const XmlError& e) {
        raise_native_fallback(e.kind() == XmlError::Kind::Malformed ? "malformed: " : "unsupported: ",
                              e.what(), e.has_offset() ? e.offset() : kNoFallbackOffset);
    } catch (const Fallback& e) {
        raise_native_fallback("", e.what());
    } catch (const BorrowConflict& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (const InternalError& e) {
        PyErr_Format(PyExc_SystemError, "_tovrel internal error: %s", e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        // Not thrown by the engine itself (a library container's length_error, say).
        PyErr_Format(PyExc_SystemError, "_tovrel internal error: unexpected exception: %s",
                     e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "_tovrel internal error: unknown exception");
    }
}

}  // namespace tovrel
