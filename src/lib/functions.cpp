#include "lib/functions.h"

namespace tovrel {

namespace {

PyMethodDef g_functions[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* module_functions() noexcept { return g_functions; }

}  // namespace tovrel
