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
                              e.what());
    } catch (const Fallback& e) {
        raise_native_fallback("", e.what());
    } catch (const BorrowConflict& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "_tovrel internal error: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "_tovrel internal error");
    }
}

}  // namespace tovrel
