// Positional-or-keyword argument parsing for routines that take named parameters.
#pragma once

#include "module/ref.h"
#include "module/state.h"

#include <cstddef>

namespace pelmora {

// The line of each way an argument list is refused, in the table of arguments.cpp: what
// the traceback entry of a refusal names. Checked against __FILE__ there.
extern const int kRefusalLines[];
inline constexpr std::size_t kRefusalCount = 6;
inline constexpr char kArgumentsFile[] = "module/arguments.cpp";

// The traceback entries of a routine's refusals: its qualified name, its definition line.
constexpr SiteGroup refusal_sites(const char* qualified, int definition_line) {
    return {qualified, kArgumentsFile, kRefusalLines, kRefusalCount, definition_line};
}

struct Parameters {
    const char* routine;         // plain name, for messages: "drawViewVolume"
    const Text* names;           // interned parameter names, in positional order
    std::size_t count;
    const SiteGroup* refusals;   // from refusal_sites
};

// Binds `positional` (a tuple) and `keywords` (a dict or null) to the parameters,
// whose names come from `state`. On success every slot of `values` holds a
// reference to its argument. On failure TypeError (or what comparing a keyword
// raised) is pending with one traceback entry at the definition line.
bool parse_arguments(const ModuleState& state, const Parameters& parameters,
                     PyObject* positional, PyObject* keywords, Owned* values);

}  // namespace pelmora
