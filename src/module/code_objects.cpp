// Traceback code objects, made once per module from the routine tables.
#include "module/code_objects.h"

#include "module/frame.h"

#include <utility>

namespace pelmora {

PyObject* make_code_object(const char* function, SourceSite site, int module_line) {
    char field[256];
    PyOS_snprintf(field, sizeof field, "%s (%s:%d)", function, site.file, site.line);
    return reinterpret_cast<PyObject*>(PyCode_NewEmpty(kModuleSourceFile, field, module_line));
}

bool CodeObjects::add(const void* table, const char* function, SourceSite site,
                      int module_line) {
    if (table_count_ == 0 || tables_[table_count_ - 1] != table) {
        if (table_count_ == kMaxGroups) {
            PyErr_SetString(PyExc_SystemError, "Pelmora: too many traceback tables");
            return false;
        }
        tables_[table_count_] = table;
        firsts_[table_count_++] = count_;
    }
    if (count_ == kCapacity) {
        PyErr_SetString(PyExc_SystemError, "Pelmora: too many traceback entries");
        return false;
    }
    PyObject* code = make_code_object(function, site, module_line);
    if (code == nullptr) return false;
    codes_[count_++] = code;
    return true;
}

bool CodeObjects::make(const Program* const* programs, std::size_t program_count,
                       const SiteGroup* const* groups, std::size_t group_count) {
    for (std::size_t p = 0; p < program_count; ++p) {
        const Program& program = *programs[p];
        for (std::size_t row = 0; row < program.count; ++row) {
            const Statement& statement = program.statements[row];
            if (!add(&program, program.routine, {program.source_file, statement.site_line},
                     statement.line))
                return false;
        }
    }
    for (std::size_t g = 0; g < group_count; ++g) {
        const SiteGroup& group = *groups[g];
        for (std::size_t site = 0; site < group.count; ++site)
            if (!add(&group, group.function, {group.file, group.site_lines[site]},
                     group.module_line))
                return false;
    }
    return true;
}

PyObject* CodeObjects::find(const void* table, std::size_t index) const {
    for (std::size_t t = 0; t < table_count_; ++t)
        if (tables_[t] == table) return codes_[firsts_[t] + index];
    return nullptr;
}

void CodeObjects::clear() {
    table_count_ = 0;
    while (count_ > 0) {
        PyObject* code = std::exchange(codes_[--count_], nullptr);
        Py_DECREF(code);
    }
}

}  // namespace pelmora
