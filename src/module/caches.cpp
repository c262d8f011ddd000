// The code-object cache and the environment switch for both caches.
#include "module/caches.h"

#include <cstdlib>
#include <cstring>

namespace pelmora {

bool caches_switched_off() {
    const char* value = std::getenv("PELMORA_UNCACHED");
    return value != nullptr && value[0] != '\0' && std::strcmp(value, "0") != 0;
}

PyObject* CodeCache::code(const char* module_file, const char* function, const char* site_file,
                          int site_line, int module_line) {
    for (std::size_t i = 0; i < count_; ++i) {
        const Entry& entry = entries_[i];
        if (entry.function == function && entry.site_file == site_file &&
            entry.site_line == site_line && entry.module_line == module_line) {
            Py_INCREF(entry.code);
            return entry.code;
        }
    }
    // The function-name field, "function (file:line)", is only needed for a new code object.
    char field[256];
    if (site_line != 0)
        PyOS_snprintf(field, sizeof field, "%s (%s:%d)", function, site_file, site_line);
    else
        PyOS_snprintf(field, sizeof field, "%s", function);
    PyObject* made =
        reinterpret_cast<PyObject*>(PyCode_NewEmpty(module_file, field, module_line));
    if (made == nullptr || !enabled_ || count_ == kCapacity) return made;
    Py_INCREF(made);
    entries_[count_++] = Entry{function, site_file, site_line, module_line, made};
    return made;
}

void CodeCache::clear() {
    enabled_ = false;
    while (count_ > 0) {
        --count_;
        Py_CLEAR(entries_[count_].code);
    }
}

}  // namespace pelmora
