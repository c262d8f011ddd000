// Positional-or-keyword argument parsing for routines that take named parameters.
#pragma once

#include "module/ref.h"
#include "module/state.h"

#include <cstddef>

namespace pelmora {

struct Parameters {
    const char* routine;        // plain name, for messages: "drawViewVolume"
    const char* qualified;      // for the traceback entry: "Pelmora.drawViewVolume"
    int definition_line;        // the module-source line argument errors report
    const Text* names;          // interned parameter names, in positional order
    std::size_t count;
};

// Binds `positional` (a tuple) and `keywords` (a dict or null) to the parameters,
// whose names come from `state`. On success every slot of `values` holds a
// reference to its argument. On failure TypeError (or what comparing a keyword
// raised) is pending with one traceback entry at the definition line.
bool parse_arguments(const ModuleState& state, const Parameters& parameters,
                     PyObject* positional, PyObject* keywords, Owned* values);

}  // namespace pelmora
