// Byte source over a Python file-like object: pulls `read(65536)` results into the reader's
// input window.
#pragma once

#include "utils/py_ref.h"
#include "xml/byte_source.h"

namespace tovrel {

// Creates the interned method name and chunk-size argument every read uses. Called once while
// the module is imported, so no later first use has to wait on another thread.
void init_file_source_constants();

class PyFileSource final : public ByteSource {
public:
    // Keeps a strong reference to `file`; no I/O until the first read_chunk.
    explicit PyFileSource(PyObject* file) noexcept : file_(Ref::borrow(file)) {}

    // Calls file.read(65536) and appends the result. The result must be bytes (or a subclass);
    // anything else raises TypeError. Exceptions from read propagate as PyErrorSet.
    bool read_chunk(ByteBuffer& out) override;

    // Visits the file object (for an owner's GC traverse).
    int traverse(visitproc visit, void* arg) const {
        Py_VISIT(file_.get());
        return 0;
    }

private:
    Ref file_;
};

}  // namespace tovrel
