// Probe functions for the XML reader.
#include "utils/py_args.h"
#include "utils/py_boundary.h"
#include "tests_probe.h"
#include "utils/py_ref.h"
#include "xml/py_reader.h"

namespace tovrel {

// read_all(source) -> int: reads the document to its end and returns the number of events,
// Eof included. Reader errors raise NativeFallback as everywhere else.
PyObject* probe_read_all(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard_obj([&] {
        static const char* const names[] = {"source"};
        static const Signature sig{"read_all", names, 1, 1};
        PyObject* bound[1];
        bind_args(sig, args, nargs, kwnames, bound);
        Reader reader = make_py_reader(bound[0]);
        Py_ssize_t events = 1;
        while (reader.next() != XmlEvent::Eof) ++events;
        return PyLong_FromSsize_t(events);
    });
}

// events(source) -> list of (kind, name_or_text, attrs): kind is the event number; name is
// "{uri}local" or "local"; attrs a dict keyed as attribute keys; text events carry the decoded
// str; the last entry is the Eof event.
PyObject* probe_events(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard_obj([&] {
        static const char* const names[] = {"source"};
        static const Signature sig{"events", names, 1, 1};
        PyObject* bound[1];
        bind_args(sig, args, nargs, kwnames, bound);
        Reader reader = make_py_reader(bound[0]);
        Ref out = Ref::check(PyList_New(0));
        for (;;) {
            XmlEvent ev = reader.next();
            Ref payload, attrs = Ref::borrow(Py_None);
            if (ev == XmlEvent::Text) {
                payload = Ref::check(text_str(reader));
            } else if (ev == XmlEvent::Eof) {
                payload = Ref::borrow(Py_None);
            } else {
                std::string_view local = reader.local_name();
                std::string name;
                if (reader.ns() != kNoNamespace) {
                    name += '{';
                    name += reader.namespaces().uri(reader.ns());
                    name += '}';
                }
                name += local;
                payload = Ref::check(PyUnicode_FromStringAndSize(
                    name.data(), static_cast<Py_ssize_t>(name.size())));
                if (ev != XmlEvent::End) attrs = attribute_dict(reader);
            }
            Ref item = Ref::check(Py_BuildValue("(iOO)", static_cast<int>(ev), payload.get(),
                                                attrs.get()));
            check_rc(PyList_Append(out.get(), item.get()));
            if (ev == XmlEvent::Eof) return out.release();
        }
    });
}

}  // namespace tovrel
